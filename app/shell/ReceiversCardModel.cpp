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
    : QObject(parent), controller_(controller) {
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
    if (next == rows_) {
        return;
    }
    const bool countDiffers = next.size() != rows_.size();
    rows_ = std::move(next);
    rowList_.clear();
    for (const ReceiverRow& row : rows_) {
        rowList_.append(QVariantMap{{"name", QString::fromStdString(row.name)},
                                    {"symbol", QString::fromStdString(row.symbol)},
                                    {"detail", QString::fromStdString(row.detail)},
                                    {"quality", QString::fromStdString(row.quality)},
                                    {"qualityColor", text(colorTokenName(row.qualityColor))},
                                    {"latency", QString::fromStdString(row.latency)},
                                    {"latencyColor", text(colorTokenName(row.latencyColor))}});
    }
    emit rowsChanged();
    if (countDiffers) {
        emit countChanged();
    }
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
