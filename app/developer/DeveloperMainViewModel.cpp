#include "app/developer/DeveloperMainViewModel.h"

#include <QVariantMap>

#include "app/developer/DashboardPresenters.h"
#include "app/developer/PreviewPanelFeed.h"

namespace kelvora {

DeveloperMainViewModel::DeveloperMainViewModel(QObject* parent) : QObject(parent) {
    refresh();
}

void DeveloperMainViewModel::setController(SenderController* controller) {
    if (controller_ == controller) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    if (controller_) {
        connect(controller_, &SenderController::statusChanged, this, &DeveloperMainViewModel::refresh);
    }
    emit controllerChanged();
    refresh();
}

void DeveloperMainViewModel::refresh() {
    const SenderStatus status = controller_ ? controller_->status() : SenderStatus{};
    QVariantList tiles;
    for (const MetricTileText& tile : kelvora::metricTiles(status)) {
        tiles.append(QVariantMap{{"title", QString::fromStdString(tile.title)},
                                 {"value", QString::fromStdString(tile.value)},
                                 {"unit", QString::fromStdString(tile.unit)},
                                 {"symbol", QString::fromStdString(tile.symbol)},
                                 {"tint", tokenText(tile.tint)}});
    }
    const bool clock = kelvora::showsReferenceClock(status);
    if (tiles == metricTiles_ && clock == showsReferenceClock_) {
        return;
    }
    metricTiles_ = tiles;
    showsReferenceClock_ = clock;
    emit changed();
}

}  // namespace kelvora
