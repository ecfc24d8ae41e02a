#include "app/shell/MainSourceTileModel.h"

#include "app/developer/PreviewPanelFeed.h"
#include "app/model/SenderController.h"

namespace kelvora {
namespace {

template <class Edit>
void editSettings(SenderController& controller, Edit edit) {
    SenderSettings settings = controller.settings();
    edit(settings);
    controller.setSettings(settings);
}

}  // namespace

MainSourceTileModel::MainSourceTileModel(SenderController* controller, const SimpleViewServices& services,
                                         QObject* parent)
    : SourceTileModel(controller, services, "Automatisch", false, mainPreviewFeed(*controller), parent) {
    for (auto signal : {&SenderController::statusChanged, &SenderController::settingsChanged,
                        &SenderController::isPausedChanged, &SenderController::isMainSourcePausedChanged,
                        &SenderController::cameraAuthorizationChanged}) {
        connect(controller, signal, this, &MainSourceTileModel::refresh);
    }
    init();
}

SourceTileModel::Reading MainSourceTileModel::read() const {
    const SenderSettings& settings = controller_->settings();
    Reading reading;
    reading.name = controller_->displayName();
    reading.face = mainTileFace({controller_->status(), controller_->isPaused(),
                                 controller_->isMainSourcePaused(), controller_->cameraAuthorization()});
    reading.status = controller_->status();
    reading.isSourcePaused = controller_->isMainSourcePaused();
    if (!settings.autoResolution) {
        reading.resolution = settings.resolution;
    }
    if (!settings.autoFrameRate) {
        reading.frameRate = settings.frameRate;
    }
    return reading;
}

std::optional<std::string> MainSourceTileModel::source() const {
    const SenderSettings& settings = controller_->settings();
    return settings.useTestPattern ? std::optional<std::string>(kTestPatternID) : settings.preferredDeviceID;
}

void MainSourceTileModel::setSource(const std::optional<std::string>& id) {
    controller_->selectDevice(id);
}

void MainSourceTileModel::setResolution(const std::optional<VideoDimensions>& value) {
    editSettings(*controller_, [&](SenderSettings& s) { s.autoResolution = !value; });
    if (value) {
        editSettings(*controller_, [&](SenderSettings& s) { s.resolution = *value; });
    }
}

void MainSourceTileModel::setFrameRate(const std::optional<int>& value) {
    editSettings(*controller_, [&](SenderSettings& s) { s.autoFrameRate = !value; });
    if (value) {
        editSettings(*controller_, [&](SenderSettings& s) { s.frameRate = *value; });
    }
}

void MainSourceTileModel::togglePause() {
    if (controller_) {
        controller_->toggleMainSourcePause();
    }
}

void MainSourceTileModel::restart() {
    if (controller_) {
        controller_->pipeline()->reconnectSource("manuell");
    }
}

void MainSourceTileModel::runPlaceholderAction(PlaceholderAction action) {
    switch (action) {
        case PlaceholderAction::allowCamera:
            controller_->openCameraPrivacySettings();
            break;
        case PlaceholderAction::resumeAll:
            controller_->togglePause();
            break;
        case PlaceholderAction::resumeMainSource:
            controller_->toggleMainSourcePause();
            break;
        case PlaceholderAction::resumeOutput:
        case PlaceholderAction::none:
            break;
    }
}

QString MainSourceTileModel::renamePlaceholder() const {
    return controller_ ? QString::fromStdString(controller_->computerName()) : QString();
}

QString MainSourceTileModel::renameSeed() const {
    return controller_ ? QString::fromStdString(controller_->settings().senderName) : QString();
}

void MainSourceTileModel::save(const std::string& name) {
    // Spaces and tabs go, line breaks stay; an empty name is stored too and brings back the computer's name.
    const auto first = name.find_first_not_of(" \t");
    const std::string trimmed = first == std::string::npos
                                    ? std::string()
                                    : name.substr(first, name.find_last_not_of(" \t") - first + 1);
    editSettings(*controller_, [&](SenderSettings& s) { s.senderName = trimmed; });
}

}  // namespace kelvora
