#include "sender/pipeline/SourceSelection.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

CaptureDeviceInfo device(std::string id, bool external) {
    CaptureDeviceInfo info;
    info.id = std::move(id);
    info.name = "Gerät";
    info.isExternal = external;
    return info;
}

std::optional<std::string> select(const SenderSettings& settings,
                                  const std::vector<CaptureDeviceInfo>& devices, bool paused = false,
                                  bool filesExist = true) {
    return SourceSelection::selectedSourceID(
        settings, paused, devices, [filesExist](const std::filesystem::path&) { return filesExist; });
}

TEST(SourceSelection, FirstMatchWins) {
    const std::vector<CaptureDeviceInfo> devices = {device("kamera", false), device("karte", true),
                                                    device("karte-2", true)};
    SenderSettings settings;
    settings.useTestPattern = true;
    settings.useVideoFile = true;
    settings.videoFilePath = "/filme/clip.mov";
    EXPECT_EQ(select(settings, devices), "testpattern");
    EXPECT_EQ(select(settings, devices, true), std::nullopt);

    settings.useTestPattern = false;
    EXPECT_EQ(select(settings, devices), "videofile:/filme/clip.mov");
    // A file that is gone falls through to the devices.
    EXPECT_EQ(select(settings, devices, false, false), "karte");

    settings.useVideoFile = false;
    settings.preferredDeviceID = "ndi:STUDIO (Kamera 1)";
    EXPECT_EQ(select(settings, {}), "ndi:STUDIO (Kamera 1)");
}

TEST(SourceSelection, DevicesAndAutomaticStart) {
    const std::vector<CaptureDeviceInfo> devices = {device("kamera", false), device("karte", true)};
    SenderSettings settings;
    settings.preferredDeviceID = "kamera";
    EXPECT_EQ(select(settings, devices), "kamera");

    // The preferred device unplugged: with automatic start the first external one, without it none.
    settings.preferredDeviceID = "weg";
    EXPECT_EQ(select(settings, devices), "karte");
    settings.autoStart = false;
    EXPECT_EQ(select(settings, devices), std::nullopt);
    settings.preferredDeviceID = "kamera";
    EXPECT_EQ(select(settings, devices), "kamera");

    settings.autoStart = true;
    settings.preferredDeviceID.reset();
    EXPECT_EQ(select(settings, {device("kamera", false)}), std::nullopt);
}

}  // namespace
}  // namespace kelvora
