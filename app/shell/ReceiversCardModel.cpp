#include "app/shell/ReceiversCardModel.h"

#include "app/model/SenderController.h"
#include "sender/sources/NDIRuntime.h"

namespace kelvora {
namespace {

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

}  // namespace

ReceiversCardModel::ReceiversCardModel(SenderController* controller, QObject* parent)
    : QAbstractListModel(parent), controller_(controller) {
    connect(controller, &SenderController::statusChanged, this, &ReceiversCardModel::refresh);
    connect(controller, &SenderController::settingsChanged, this, &ReceiversCardModel::refresh);
    connect(controller, &SenderController::extraOutputsChanged, this, &ReceiversCardModel::watchOutputs);
    watchOutputs();
}

void ReceiversCardModel::watchOutputs() {
    for (const auto& connection : outputConnections_) {
        disconnect(connection);
    }
    outputConnections_.clear();
    if (controller_) {
        for (ExtraOutput* output : controller_->extraOutputs()) {
            outputConnections_.push_back(
                connect(output, &ExtraOutput::statusChanged, this, &ReceiversCardModel::refresh));
        }
    }
    refresh();
}

void ReceiversCardModel::refresh() {
    if (!controller_) {
        return;
    }
    std::vector<ReceiverRow> next = receiverRows(
        controller_->receivers(), !controller_->extraOutputs().isEmpty(), controller_->settings().studioMode);
    const bool sameViewers =
        std::equal(next.begin(), next.end(), rows_.begin(), rows_.end(),
                   [](const ReceiverRow& a, const ReceiverRow& b) { return a.id == b.id; });
    if (!sameViewers) {
        const bool countDiffers = next.size() != rows_.size();
        beginResetModel();
        rows_ = std::move(next);
        endResetModel();
        if (countDiffers) {
            emit countChanged();
        }
        return;
    }
    for (size_t i = 0; i < next.size(); ++i) {
        if (next[i] != rows_[i]) {
            rows_[i] = std::move(next[i]);
            emit dataChanged(index(static_cast<int>(i)), index(static_cast<int>(i)));
        }
    }
}

int ReceiversCardModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant ReceiversCardModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) {
        return {};
    }
    const ReceiverRow& row = rows_[static_cast<size_t>(index.row())];
    switch (role) {
        case NameRole:
            return QString::fromStdString(row.name);
        case SymbolRole:
            return QString::fromStdString(row.symbol);
        case DetailRole:
            return QString::fromStdString(row.detail);
        case QualityRole:
            return QString::fromStdString(row.quality);
        case QualityColorRole:
            return text(colorTokenName(row.qualityColor));
        case LatencyRole:
            return QString::fromStdString(row.latency);
        case LatencyColorRole:
            return text(colorTokenName(row.latencyColor));
        default:
            return {};
    }
}

QHash<int, QByteArray> ReceiversCardModel::roleNames() const {
    return {{NameRole, "name"},
            {SymbolRole, "symbol"},
            {DetailRole, "detail"},
            {QualityRole, "quality"},
            {QualityColorRole, "qualityColor"},
            {LatencyRole, "latency"},
            {LatencyColorRole, "latencyColor"}};
}

ConnectionHintModel::ConnectionHintModel(SenderController* controller,
                                         std::function<std::vector<std::string>()> addresses, QObject* parent)
    : QObject(parent),
      controller_(controller),
      addresses_(std::move(addresses)),
      ndiAvailable_(controller->isNDIAvailable()) {
    connect(controller, &SenderController::statusChanged, this, &ConnectionHintModel::refresh);
    refresh();
}

void ConnectionHintModel::refresh() {
    if (!controller_) {
        return;
    }
    const QString next = QString::fromStdString(
        connectionAddressText(addresses_(), controller_->status().controlPort).value_or(std::string()));
    if (next != address_) {
        address_ = next;
        emit addressChanged();
    }
}

QString ConnectionHintModel::ndiLink() {
    return QString::fromUtf8(NDIRuntime::kVendorWebsite);
}

QString ConnectionHintModel::ndiLinkLabel() {
    return QString::fromStdString(linkHostLabel(NDIRuntime::kVendorWebsite));
}

QString ConnectionHintModel::trademarkNotice() {
    return QString::fromUtf8(NDIRuntime::kTrademarkNotice);
}

}  // namespace kelvora
