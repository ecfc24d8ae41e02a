#include <gtest/gtest.h>

#include <set>

#include "ModelFakes.h"
#include "core/Log.h"
#include "platform/Uuid.h"
#include "support/LogCapture.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

// The weak-Wi-Fi preset's eleven fields written out by hand, so that a wrong value in the preset itself
// cannot hide behind an expectation computed with it (the harness has no HEVC hardware).
SenderSettings withPresetByHand(SenderSettings s) {
    s.preferredCodec = VideoCodec::h264;
    s.bitrateKbps = 6000;
    s.automaticBitrate = false;
    s.maximumFrameRate = 30;
    s.adaptiveBitrate = true;
    s.adaptFrameRateFirst = true;
    s.middleTier = true;
    s.mainTierEnabled = true;
    s.proxyStream = true;
    s.proxyBitrateKbps = 1500;
    s.studioMode = false;
    return s;
}

}  // namespace

TEST(SettingsStore, FirstLaunchRunsTheDefaultsWithThePresetAndStoresNothing) {
    ModelHarness h;
    SenderSettings defaults;
    defaults.useTestPattern = false;
    EXPECT_EQ(h.make().settings(), withPresetByHand(defaults));
    EXPECT_FALSE(h.storedSettings());
    EXPECT_EQ(h.defaults->boolValue(kPresetKey), true);
}

TEST(SettingsStore, OlderSettingsGetThePresetOnceAndLaterChangesSurvive) {
    ModelHarness h;
    // Every preset field off its preset value, plus two the preset leaves alone.
    SenderSettings old;
    old.senderName = "Studio";
    old.preferredCodec = VideoCodec::hevc;
    old.bitrateKbps = 20000;
    old.automaticBitrate = true;
    old.maximumFrameRate = 60;
    old.adaptiveBitrate = false;
    old.adaptFrameRateFirst = false;
    old.middleTier = false;
    old.mainTierEnabled = false;
    old.proxyStream = false;
    old.proxyBitrateKbps = 800;
    old.studioMode = true;
    old.keyframeInterval = 4.0;
    h.storeSettings(old);

    const SenderSettings expected = withPresetByHand(old);
    EXPECT_EQ(h.make().settings(), expected);
    EXPECT_EQ(h.storedSettings(), expected);

    edit(*h.controller, [](SenderSettings& s) { s.bitrateKbps = 9000; });
    h.controller.reset();
    EXPECT_EQ(h.make().settings().bitrateKbps, 9000);
}

TEST(SettingsStore, UnreadableStoredSettingsFallBackWithoutBeingOverwritten) {
    for (const UserDefaults::Json& stored :
         {UserDefaults::Json("{not json"), UserDefaults::Json(42), UserDefaults::Json::array({1, 2})}) {
        ModelHarness h;
        h.defaults->set(kSettingsKey, stored);
        EXPECT_EQ(h.make().settings().bitrateKbps, 6000) << stored.dump();
        h.controller->flushSettings();
        EXPECT_EQ(h.defaults->value(kSettingsKey), stored);
    }
}

TEST(SettingsStore, OutsideDeveloperModeTestSourcesAreSwitchedOffOnLoad) {
    ModelHarness h;
    SenderSettings stored;
    stored.useTestPattern = true;
    stored.useVideoFile = true;
    stored.videoFilePath = "/v/clip.mov";
    stored.extraOutputs = {{"3F2504E0-4F89-41D3-9A0C-0305E82C3301", "Ausgang 2", "testpattern", {}, {}},
                           {"3F2504E0-4F89-41D3-9A0C-0305E82C3302", "Ausgang 3", "usb-cam", {}, {}}};
    h.storeSettings(stored);
    h.defaults->set(kPresetKey, true);
    h.defaults->set(kDeveloperModeKey, false);

    const SenderSettings& s = h.make().settings();
    EXPECT_FALSE(s.useTestPattern);
    EXPECT_FALSE(s.useVideoFile);
    EXPECT_EQ(s.videoFilePath, "/v/clip.mov");
    EXPECT_EQ(s.extraOutputs[0].sourceID, std::nullopt);
    EXPECT_EQ(s.extraOutputs[1].sourceID, "usb-cam");
    // Not written back until the next change.
    EXPECT_TRUE(h.storedSettings()->useTestPattern);
}

// An output's id read back is part of the id the output is announced under. One no UUID writer made gets a
// fresh id, stored at once so that it holds across restarts; the output keeps its place and its other
// fields, and a usable id stays as it is.
TEST(SettingsStore, StoredOutputIdsThatAreNoUuidAreRenewedAndTheOutputsKept) {
    const std::string usable = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
    ModelHarness h;
    SenderSettings stored;
    for (const std::string& id : {usable, std::string(), std::string(5000, 'A'), std::string("X1\nLIVE"),
                                  usable.substr(0, 35) + "g", usable + "-"}) {
        stored.extraOutputs.push_back({id, "Ausgang " + std::to_string(stored.extraOutputs.size() + 2),
                                       "usb-cam", VideoDimensions{1280, 720}, 25});
    }
    h.storeSettings(stored);
    h.defaults->set(kPresetKey, true);

    const std::vector<OutputSettings> loaded = h.make().settings().extraOutputs;
    ASSERT_EQ(loaded.size(), stored.extraOutputs.size());
    std::set<std::string> ids;
    for (size_t i = 0; i < loaded.size(); ++i) {
        OutputSettings expected = stored.extraOutputs[i];
        expected.id = i == 0 ? usable : loaded[i].id;
        EXPECT_EQ(loaded[i], expected) << i;
        EXPECT_TRUE(isUuidText(loaded[i].id)) << loaded[i].id;
        ids.insert(loaded[i].id);
    }
    EXPECT_EQ(ids.size(), loaded.size());
    EXPECT_EQ(h.storedSettings()->extraOutputs, loaded);
}

// One stored output that does not decode is left out and named in the log; the others load, and the next
// write stores them again instead of losing them with it.
TEST(SettingsStore, AMalformedStoredOutputIsLeftOutAndTheOthersKept) {
    const Json good = Json::array({
        {{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"}, {"name", "Bühne"}, {"sourceID", "usb-cam"}},
        {{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3302"}, {"name", "Pult"}, {"frameRate", 50}},
        {{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3303"}, {"name", "Saal"}},
    });
    Json outputs = good;
    outputs.insert(outputs.begin() + 1, Json{{"id", 7}, {"name", "Kaputt\nLIVE" + std::string(500, 'x')}});
    ModelHarness h;
    h.defaults->set(kSettingsKey, Json{{"senderName", "Studio"}, {"extraOutputs", outputs}});
    h.defaults->set(kPresetKey, true);

    test::LogCapture log(Log::capture());
    SenderController& controller = h.make();
    EXPECT_EQ(json::to(controller.settings().extraOutputs), good);
    edit(controller, [](SenderSettings& s) { s.senderName = "Studio 2"; });
    controller.flushSettings();
    EXPECT_EQ(h.defaults->value(kSettingsKey)->at("extraOutputs"), good);

    std::vector<std::string> leftOut;
    for (const std::string& line : log.lines()) {
        if (line.find("ausgelassen") != std::string::npos) {
            leftOut.push_back(line);
        }
    }
    ASSERT_EQ(leftOut.size(), 1u);
    EXPECT_TRUE(leftOut[0].starts_with("Gespeicherter Ausgang 2 \"Kaputt\\nLIVExxx")) << leftOut[0];
    EXPECT_LT(leftOut[0].size(), 160u) << leftOut[0];
}

TEST(SettingsStore, EnginesComeBackInTheirCanonicalOrder) {
    const struct {
        std::vector<std::string> before;
        std::string name;
        bool enabled;
        std::vector<std::string> after;
    } cases[] = {
        {{"tcp"}, "quic", true, {"tcp", "quic"}},
        {{"quic"}, "srt", true, {"quic", "srt"}},
        {{"tcp", "quic"}, "tcp", false, {"quic"}},
        {{"quic", "tcp"}, "tcp", true, {"tcp", "quic"}},
        {{"webrtc", "tcp", "srt"}, "quic", true, {"tcp", "quic", "srt", "webrtc"}},
    };
    for (const auto& c : cases) {
        ModelHarness h;
        SenderController& controller = h.make();
        edit(controller, [&](SenderSettings& s) { s.enabledEngines = c.before; });
        controller.setEngine(c.name, c.enabled);
        EXPECT_EQ(controller.settings().enabledEngines, c.after) << c.name;
    }
}

TEST(SettingsStore, TheWriterKeepsTheNewestValueAndReadsItBack) {
    ModelHarness h;
    DefaultsWriter writer(*h.defaults);
    for (int kbps = 1000; kbps <= 5000; kbps += 1000) {
        writer.set("SimpleStreamBitrateKbps", kbps);
        EXPECT_EQ(writer.value("SimpleStreamBitrateKbps"), kbps);
    }
    writer.flush();
    EXPECT_EQ(h.defaults->integer("SimpleStreamBitrateKbps"), 5000);
    writer.close();
    writer.set("SimpleStreamBitrateKbps", 7000);
    EXPECT_EQ(h.defaults->integer("SimpleStreamBitrateKbps"), 7000);
}
