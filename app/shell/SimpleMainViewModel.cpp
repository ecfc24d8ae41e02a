#include "app/shell/SimpleMainViewModel.h"

#include "app/model/SenderController.h"

namespace kelvora {

SimpleMainViewTiles::SimpleMainViewTiles(SenderController* controller, SimpleViewServices services,
                                         QObject* parent)
    : QAbstractListModel(parent), controller_(controller), services_(std::move(services)) {
    connect(controller, &SenderController::extraOutputsChanged, this, &SimpleMainViewTiles::sync);
    sync();
}

int SimpleMainViewTiles::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant SimpleMainViewTiles::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != TileRole) {
        return {};
    }
    return QVariant::fromValue<QObject*>(rows_[static_cast<size_t>(index.row())].tile);
}

void SimpleMainViewTiles::sync() {
    const QList<ExtraOutput*> outputs = controller_ ? controller_->extraOutputs() : QList<ExtraOutput*>();
    // Rows of outputs that are gone go first, from the back so that the indices stay right. An output the
    // controller made anew under the same id (it renumbers) is a new output with a new tile.
    for (int row = rowCount() - 1; row >= 0; --row) {
        if (!rows_[static_cast<size_t>(row)].output ||
            !outputs.contains(rows_[static_cast<size_t>(row)].output)) {
            beginRemoveRows({}, row, row);
            ExtraSourceTileModel* tile = rows_[static_cast<size_t>(row)].tile;
            rows_.erase(rows_.begin() + row);
            endRemoveRows();
            tile->deleteLater();
        }
    }
    for (int i = 0; i < outputs.size(); ++i) {
        ExtraOutput* output = outputs[i];
        if (i < rowCount() && rows_[static_cast<size_t>(i)].output == output) {
            continue;
        }
        const auto found = std::find_if(rows_.begin() + i, rows_.end(),
                                        [&](const Row& row) { return row.output == output; });
        if (found != rows_.end()) {
            // Reordered: move the row up to its place.
            const int from = static_cast<int>(found - rows_.begin());
            beginMoveRows({}, from, from, {}, i);
            Row moved = *found;
            rows_.erase(found);
            rows_.insert(rows_.begin() + i, moved);
            endMoveRows();
            continue;
        }
        beginInsertRows({}, i, i);
        rows_.insert(rows_.begin() + i,
                     Row{output, new ExtraSourceTileModel(controller_, output, services_, this)});
        endInsertRows();
    }
}

SimpleMainViewModel::SimpleMainViewModel(QObject* parent)
    : SimpleMainViewModel(SimpleViewServices::system(), parent) {}

SimpleMainViewModel::SimpleMainViewModel(SimpleViewServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {}

QObject* SimpleMainViewModel::controller() const {
    return controller_;
}

void SimpleMainViewModel::setController(QObject* object) {
    auto* controller = qobject_cast<SenderController*>(object);
    if (controller == controller_) {
        return;
    }
    for (QObject* part : std::initializer_list<QObject*>{mainTile_, extraTiles_, receivers_, hint_}) {
        if (part) {
            part->deleteLater();
        }
    }
    mainTile_ = nullptr;
    extraTiles_ = nullptr;
    receivers_ = nullptr;
    hint_ = nullptr;
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    if (controller) {
        mainTile_ = new MainSourceTileModel(controller, services_, this);
        extraTiles_ = new SimpleMainViewTiles(controller, services_, this);
        receivers_ = new ReceiversCardModel(controller, this);
        hint_ = new ConnectionHintModel(controller, services_.addresses, this);
        connect(controller, &SenderController::extraOutputsChanged, this,
                &SimpleMainViewModel::followOutputs);
    }
    emit controllerChanged();
    followOutputs();
}

void SimpleMainViewModel::followOutputs() {
    const bool hasExtras = controller_ && !controller_->extraOutputs().isEmpty();
    if (hasExtras != hasExtras_) {
        hasExtras_ = hasExtras;
        emit layoutChanged();
    }
}

}  // namespace kelvora
