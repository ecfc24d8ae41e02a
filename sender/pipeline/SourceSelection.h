#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sender/pipeline/SenderSettings.h"
#include "sender/sources/CaptureDeviceInfo.h"

namespace kelvora {

// Which source an output's settings ask for, as the source id the sources use: "testpattern",
// "videofile:<path>", "ndi:<name>" or a capture device's unique id. Pure, so that the rules can be read and
// tested apart from the pipeline that acts on them.
struct SourceSelection {
    static constexpr const char* testPatternID = "testpattern";
    static constexpr const char* videoFilePrefix = "videofile:";
    static constexpr const char* ndiPrefix = "ndi:";

    // First match wins: paused, none; the test pattern; a video file that exists; an NDI source; the
    // preferred device while it is connected; with automatic start the first external device; else none.
    static std::optional<std::string> selectedSourceID(
        const SenderSettings& settings, bool paused, const std::vector<CaptureDeviceInfo>& devices,
        const std::function<bool(const std::filesystem::path&)>& fileExists);
};

}  // namespace kelvora
