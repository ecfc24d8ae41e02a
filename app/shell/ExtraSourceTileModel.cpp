#include "app/shell/ExtraSourceTileModel.h"

#include "app/developer/PreviewPanelFeed.h"
#include "app/model/SenderController.h"

namespace kelvora {

ExtraSourceTileModel::ExtraSourceTileModel(SenderController* controller, ExtraOutput* output,
                                           const SimpleViewServices& services, QObject* parent)
    : SourceTileModel(controller, services, "Keine Quelle", true, previewFeed(*output), parent),
      output_(output),
      id_(output->id()),
      number_(output->number()) {
    connect(output, &ExtraOutput::statusChanged, this, &ExtraSourceTileModel::refresh);
    connect(output, &ExtraOutput::isSourcePausedChanged, this, &ExtraSourceTileModel::refresh);
    connect(controller, &SenderController::settingsChanged, this, &ExtraSourceTileModel::refresh);
    connect(controller, &SenderController::isPausedChanged, this, &ExtraSourceTileModel::refresh);
    init();
}

std::optional<OutputSettings> ExtraSourceTileModel::settings() const {
    return controller_ ? controller_->outputSettings(id_) : std::nullopt;
}

SourceTileModel::Reading ExtraSourceTileModel::read() const {
    const std::optional<OutputSettings> stored = settings();
    Reading reading;
    reading.name = extraTileName(stored, number_);
    if (output_) {
        reading.status = output_->status();
        reading.isSourcePaused = output_->isSourcePaused();
    }
    reading.face = extraTileFace({reading.status, controller_->isPaused(), reading.isSourcePaused, stored});
    if (stored) {
        reading.resolution = stored->resolution;
        reading.frameRate = stored->frameRate;
    }
    return reading;
}

std::optional<std::string> ExtraSourceTileModel::source() const {
    const std::optional<OutputSettings> stored = settings();
    return stored ? stored->sourceID : std::nullopt;
}

void ExtraSourceTileModel::setSource(const std::optional<std::string>& id) {
    controller_->setOutputSource(id_, id);
}

void ExtraSourceTileModel::setResolution(const std::optional<VideoDimensions>& value) {
    const std::optional<OutputSettings> stored = settings();
    controller_->setOutputFormat(id_, value, stored ? stored->frameRate : std::nullopt);
}

void ExtraSourceTileModel::setFrameRate(const std::optional<int>& value) {
    const std::optional<OutputSettings> stored = settings();
    controller_->setOutputFormat(id_, stored ? stored->resolution : std::nullopt, value);
}

void ExtraSourceTileModel::togglePause() {
    if (controller_) {
        controller_->toggleOutputPause(id_);
    }
}

void ExtraSourceTileModel::restart() {
    if (output_) {
        output_->pipeline()->reconnectSource("manuell");
    }
}

void ExtraSourceTileModel::remove() {
    if (controller_) {
        controller_->removeOutput(id_);
    }
}

void ExtraSourceTileModel::runPlaceholderAction(PlaceholderAction action) {
    if (action == PlaceholderAction::resumeOutput) {
        controller_->toggleOutputPause(id_);
    }
}

QString ExtraSourceTileModel::renameSeed() const {
    return QString::fromStdString(extraTileName(settings(), number_));
}

void ExtraSourceTileModel::save(const std::string& name) {
    controller_->renameOutput(id_, name);
}

}  // namespace kelvora
