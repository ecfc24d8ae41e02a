#include "sender/pipeline/SourceSelection.h"

#include <algorithm>

namespace kelvora {

std::optional<std::string> SourceSelection::selectedSourceID(
    const SenderSettings& settings, bool paused, const std::vector<CaptureDeviceInfo>& devices,
    const std::function<bool(const std::filesystem::path&)>& fileExists) {
    if (paused) {
        return std::nullopt;
    }
    if (settings.useTestPattern) {
        return testPatternID;
    }
    if (settings.useVideoFile && settings.videoFilePath && fileExists(*settings.videoFilePath)) {
        return videoFilePrefix + std::filesystem::path(*settings.videoFilePath).string();
    }
    const std::optional<std::string>& preferred = settings.preferredDeviceID;
    if (preferred && preferred->starts_with(ndiPrefix)) {
        return preferred;
    }
    const bool preferredIsListed =
        preferred && std::any_of(devices.begin(), devices.end(),
                                 [&](const CaptureDeviceInfo& device) { return device.id == *preferred; });
    if (preferredIsListed) {
        return preferred;
    }
    if (settings.autoStart) {
        auto external = std::find_if(devices.begin(), devices.end(),
                                     [](const CaptureDeviceInfo& device) { return device.isExternal; });
        if (external != devices.end()) {
            return external->id;
        }
    }
    return std::nullopt;
}

}  // namespace kelvora
