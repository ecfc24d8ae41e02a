#include "app/developer/OutputRowModel.h"

#include "app/developer/DashboardPresenters.h"
#include "app/developer/PreviewPanelFeed.h"

namespace kelvora {
namespace {

template <class Value>
QStringList labels(const std::vector<PickerRow<Value>>& rows) {
    QStringList list;
    for (const PickerRow<Value>& row : rows) {
        list.append(QString::fromStdString(row.label));
    }
    return list;
}

}  // namespace

OutputRowModel::OutputRowModel(SenderController& controller, ExtraOutput& output, QObject* parent)
    : QObject(parent), controller_(&controller), id_(output.id()) {
    for (auto signal : {&SenderController::settingsChanged, &SenderController::devicesChanged,
                        &SenderController::ndiSourcesChanged, &SenderController::isPausedChanged}) {
        connect(&controller, signal, this, &OutputRowModel::refresh);
    }
    setOutput(output);
}

void OutputRowModel::setOutput(ExtraOutput& output) {
    if (output_ == &output) {
        return;
    }
    if (output_) {
        disconnect(output_, nullptr, this, nullptr);
    }
    output_ = &output;
    feed_ = previewFeed(output);
    connect(&output, &ExtraOutput::statusChanged, this, &OutputRowModel::refresh);
    connect(&output, &ExtraOutput::isSourcePausedChanged, this, &OutputRowModel::refresh);
    refresh();
    emit changed();
}

QStringList OutputRowModel::resolutionLabels() const {
    return labels(outputResolutionRows());
}

QStringList OutputRowModel::frameRateLabels() const {
    return labels(outputFrameRateRows());
}

void OutputRowModel::refresh() {
    if (!controller_ || !output_) {
        return;
    }
    const std::optional<OutputSettings> settings = controller_->outputSettings(id_);
    const QString name = settings ? QString::fromStdString(settings->name) : QString();
    if (name != name_) {
        name_ = name;
        emit nameChanged();
    }
    const std::optional<std::string> sourceID = settings ? settings->sourceID : std::nullopt;
    const auto sources = outputSourceRows(controller_->devices(), controller_->ndiSources(), sourceID);
    std::vector<std::optional<std::string>> values;
    for (const auto& row : sources) {
        values.push_back(row.value);
    }
    const QString line = QString::fromStdString(
        outputStatusLine(output_->status(), controller_->isPaused() || output_->isSourcePaused()));
    const int sourceIndex = selectedRow(sources, sourceID);
    const int resolutionIndex =
        selectedRow(outputResolutionRows(), settings ? settings->resolution : std::nullopt);
    const int frameRateIndex =
        selectedRow(outputFrameRateRows(), settings ? settings->frameRate : std::nullopt);
    const QStringList sourceLabels = labels(sources);
    if (line == statusLine_ && sourceLabels == sourceLabels_ && values == sourceValues_ &&
        sourceIndex == sourceIndex_ && resolutionIndex == resolutionIndex_ &&
        frameRateIndex == frameRateIndex_) {
        return;
    }
    statusLine_ = line;
    sourceLabels_ = sourceLabels;
    sourceValues_ = std::move(values);
    sourceIndex_ = sourceIndex;
    resolutionIndex_ = resolutionIndex;
    frameRateIndex_ = frameRateIndex;
    emit changed();
}

void OutputRowModel::commitName(const QString& name) {
    if (controller_) {
        controller_->renameOutput(id_, name.toStdString());
    }
}

void OutputRowModel::chooseSource(int index) {
    if (!controller_ || index < 0 || index >= static_cast<int>(sourceValues_.size())) {
        return;
    }
    controller_->setOutputSource(id_, sourceValues_[static_cast<size_t>(index)]);
}

void OutputRowModel::chooseResolution(int index) {
    const auto rows = outputResolutionRows();
    if (!controller_ || index < 0 || index >= static_cast<int>(rows.size())) {
        return;
    }
    const std::optional<OutputSettings> settings = controller_->outputSettings(id_);
    controller_->setOutputFormat(id_, rows[static_cast<size_t>(index)].value,
                                 settings ? settings->frameRate : std::nullopt);
}

void OutputRowModel::chooseFrameRate(int index) {
    const auto rows = outputFrameRateRows();
    if (!controller_ || index < 0 || index >= static_cast<int>(rows.size())) {
        return;
    }
    const std::optional<OutputSettings> settings = controller_->outputSettings(id_);
    controller_->setOutputFormat(id_, settings ? settings->resolution : std::nullopt,
                                 rows[static_cast<size_t>(index)].value);
}

void OutputRowModel::reconnect() {
    if (output_ && output_->pipeline()) {
        output_->pipeline()->reconnectSource("manuell");
    }
}

void OutputRowModel::remove() {
    if (controller_) {
        controller_->removeOutput(id_);
    }
}

}  // namespace kelvora
