#include "app/shell/TrayModel.h"

#include <QVariantMap>

#include "app/developer/PreviewPanelFeed.h"
#include "app/model/PreviewSink.h"
#include "app/presenters/StatusColor.h"
#include "app/preview/PreviewRenderer.h"
#include "app/shell/MainWindowModel.h"

namespace kelvora {
namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

}  // namespace

TrayModel::TrayModel(SenderController& controller, MainWindowModel& commands, TrayBackend& backend,
                     std::function<void()> togglePanel, QObject* parent)
    : QObject(parent),
      controller_(controller),
      commands_(commands),
      backend_(backend),
      togglePanel_(std::move(togglePanel)) {
    preview_ = menuPreviewFeed(controller_);
    for (auto signal :
         {&SenderController::statusChanged, &SenderController::isPausedChanged,
          &SenderController::isMainSourcePausedChanged, &SenderController::settingsChanged,
          &SenderController::isDeveloperModeChanged, &SenderController::isPreparingSampleVideoChanged,
          &SenderController::cameraAuthorizationChanged}) {
        connect(&controller_, signal, this, &TrayModel::update);
    }
    backend_.start([this] { togglePanel_(); },
                   [this](TrayAction action) { trigger(static_cast<int>(action)); });
    update();
}

void TrayModel::setPanelVisible(bool visible) {
    controller_.setMenuPreviewVisible(visible);
}

void TrayModel::trigger(int action) {
    switch (static_cast<TrayAction>(action)) {
        case TrayAction::openWindow:
            commands_.openMainWindow();
            break;
        case TrayAction::togglePause:
            controller_.togglePause();
            break;
        case TrayAction::testPicture:
            if (controller_.settings().useTestPattern) {
                controller_.selectDevice(controller_.settings().preferredDeviceID);
            } else {
                controller_.selectTestPattern();
            }
            break;
        case TrayAction::sampleVideo:
            if (controller_.isUsingSampleVideo()) {
                controller_.selectDevice(controller_.settings().preferredDeviceID);
            } else {
                controller_.useSampleVideo();
            }
            break;
        case TrayAction::quit:
            commands_.quit();
            break;
    }
}

void TrayModel::update() {
    const SenderStatus& status = controller_.status();
    const bool developer = controller_.isDeveloperMode();
    const QString title = text(controller_.statusTitle());

    QVariantList figures;
    for (const TrayFigure& figure : trayFigures(status, developer)) {
        figures.append(QVariantMap{{QStringLiteral("label"), text(figure.label)},
                                   {QStringLiteral("value"), text(figure.value)}});
    }
    std::vector<TrayRow> menuRows =
        trayRows({.isPaused = controller_.isPaused(),
                  .developerMode = developer,
                  .useTestPattern = controller_.settings().useTestPattern,
                  .isUsingSampleVideo = controller_.isUsingSampleVideo(),
                  .isPreparingSampleVideo = controller_.isPreparingSampleVideo()});
    QVariantList rows;
    for (const TrayRow& row : menuRows) {
        rows.append(QVariantMap{{QStringLiteral("action"), static_cast<int>(row.action)},
                                {QStringLiteral("title"), text(row.title)},
                                {QStringLiteral("symbol"), text(row.symbol)},
                                {QStringLiteral("dividerBefore"), row.action == TrayAction::quit},
                                // A row's delegate reaches its model through the row itself.
                                {QStringLiteral("tray"), QVariant::fromValue(static_cast<QObject*>(this))}});
    }
    const QString symbol = text(std::string(traySymbol(controller_.isPaused(), status)));
    const QString color =
        text(std::string(colorTokenName(statusColor(controller_.isPaused(), status.state.kind()))));

    const bool titleChanged = title != statusTitle_;
    const bool changedAny = titleChanged || figures != figures_ || rows != rows_ || color != badgeColor_ ||
                            text(controller_.statusDetail()) != statusDetail_ ||
                            text(controller_.displayName()) != displayName_ ||
                            trayShowsPicture(controller_.isPaused(), status) != showsPicture_;
    if (symbol != symbol_) {
        symbol_ = symbol;
        backend_.setSymbol(symbol_);
    }
    if (titleChanged) {
        backend_.setToolTip(text(trayTooltip(title.toStdString())));
    }
    if (menuRows != menuRows_) {
        menuRows_ = std::move(menuRows);
        backend_.setMenu(menuRows_);
    }
    if (!changedAny) {
        return;
    }
    statusTitle_ = title;
    statusDetail_ = text(controller_.statusDetail());
    displayName_ = text(controller_.displayName());
    badgeColor_ = color;
    showsPicture_ = trayShowsPicture(controller_.isPaused(), status);
    figures_ = std::move(figures);
    rows_ = std::move(rows);
    emit changed();
}

}  // namespace kelvora
