#include "sender/pipeline/SenderSettings.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kelvora {
namespace {

TEST(SenderSettings, DefaultsAndKeyOrderOfTheStoredForm) {
    const std::vector<std::pair<std::string, Json>> expected = {
        {"senderName", ""},
        {"preferredCodec", "hevc"},
        {"resolution", {{"width", 1920}, {"height", 1080}}},
        {"frameRate", 30},
        {"autoResolution", true},
        {"autoFrameRate", true},
        {"bitrateKbps", 20000},
        {"automaticBitrate", true},
        {"minimumBitrateKbps", 2000},
        {"mainMinimumBitrateKbps", 1000},
        {"tolerantAdaptation", true},
        {"remoteTuningAllowed", true},
        {"fullBitrateEncoder", false},
        {"adaptiveBitrate", true},
        {"adaptFrameRateFirst", true},
        {"minimumFrameRate", 10},
        {"proxyStream", true},
        {"proxyBitrateKbps", 800},
        {"keyframeInterval", 2.0},
        {"temporalLayering", true},
        {"longTermReferences", true},
        {"middleTier", false},
        {"mainTierEnabled", true},
        {"hotStandbyProxy", true},
        {"studioMode", false},
        {"studioBitrateKbps", 80000},
        {"useTestPattern", false},
        {"useVideoFile", false},
        {"autoStart", true},
        {"controlPort", 47810},
        {"extraOutputs", Json::array()},
        {"enabledEngines", {"tcp", "quic"}},
    };
    Json encoded = SenderSettings().toJson();
    ASSERT_EQ(encoded.size(), expected.size());  // the three absent optionals are left out
    size_t index = 0;
    for (const auto& [key, value] : encoded.items()) {
        EXPECT_EQ(key, expected[index].first);
        EXPECT_EQ(value, expected[index].second) << key;
        ++index;
    }
    EXPECT_EQ(SenderSettings::fromJson(encoded), SenderSettings());
    EXPECT_EQ(SenderSettings::fromJson(Json::object()), SenderSettings());
}

SenderSettings everyFieldChanged() {
    SenderSettings s;
    s.senderName = "Regie/Halle 2";
    s.preferredCodec = VideoCodec::h264;
    s.resolution = {1280, 720};
    s.frameRate = 50;
    s.autoResolution = false;
    s.autoFrameRate = false;
    s.maximumFrameRate = 25;
    s.bitrateKbps = 6000;
    s.automaticBitrate = false;
    s.minimumBitrateKbps = 1500;
    s.mainMinimumBitrateKbps = 700;
    s.tolerantAdaptation = false;
    s.remoteTuningAllowed = false;
    s.fullBitrateEncoder = true;
    s.adaptiveBitrate = false;
    s.adaptFrameRateFirst = false;
    s.minimumFrameRate = 12;
    s.proxyStream = false;
    s.proxyBitrateKbps = 1500;
    s.keyframeInterval = 0.5;
    s.temporalLayering = false;
    s.longTermReferences = false;
    s.middleTier = true;
    s.mainTierEnabled = false;
    s.hotStandbyProxy = false;
    s.studioMode = true;
    s.studioBitrateKbps = 120000;
    s.useTestPattern = true;
    s.useVideoFile = true;
    s.videoFilePath = "/home/regie/clip.mov";
    s.preferredDeviceID = "ndi:STUDIO (Cam 1)";
    s.autoStart = false;
    s.controlPort = 50000;
    s.extraOutputs = {{"A", "Zwei", "testpattern", VideoDimensions{640, 360}, 25}, {"B", "Drei", {}, {}, {}}};
    s.enabledEngines = {"tcp"};
    return s;
}

TEST(SenderSettings, EveryFieldSurvivesTheRoundTrip) {
    SenderSettings changed = everyFieldChanged();
    Json encoded = json::decode(json::encode(changed.toJson()));
    EXPECT_EQ(encoded.size(), 35u);
    EXPECT_EQ(encoded["preferredCodec"], "h264");
    EXPECT_EQ(encoded["extraOutputs"][1], Json({{"id", "B"}, {"name", "Drei"}}));
    EXPECT_EQ(SenderSettings::fromJson(encoded), changed);
}

TEST(SenderSettings, EachIllTypedKeyKeepsItsOwnDefault) {
    Json stored = {{"bitrateKbps", "20000"},
                   {"frameRate", 25},
                   {"maximumFrameRate", nullptr},
                   {"controlPort", 70000},
                   {"keyframeInterval", true},
                   {"preferredCodec", "vp9"},
                   {"autoStart", 1},
                   {"resolution", {{"width", 1280}}},
                   {"senderName", "Bühne"},
                   {"unknownKey", 5}};
    SenderSettings expected;
    expected.frameRate = 25;
    expected.senderName = "Bühne";
    EXPECT_EQ(SenderSettings::fromJson(stored), expected);

    stored = {{"maximumFrameRate", "30"}, {"controlPort", -1}, {"videoFilePath", 3}, {"frameRate", 2.5}};
    EXPECT_EQ(SenderSettings::fromJson(stored), SenderSettings());
}

// A number the program neither offers nor writes itself reads as missing, as an ill-typed one does, so a
// damaged file cannot run the sender at 100000 fps. Each row is one key alone, at a bound and just past it.
TEST(SenderSettings, NumbersOutsideWhatTheProgramOffersKeepTheirDefault) {
    const auto size = [](int width, int height) { return Json{{"width", width}, {"height", height}}; };
    const auto output = [](Json format) {
        Json entry = {{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"}, {"name", "Zwei"}};
        entry.update(format);
        return Json::array({entry});
    };
    const struct {
        const char* key;
        Json stored;
        bool kept;
    } table[] = {
        {"frameRate", 1, true},
        {"frameRate", 24, true},
        {"frameRate", 60, true},
        {"frameRate", 0, false},
        {"frameRate", 61, false},
        {"frameRate", 100000, false},
        {"resolution", size(160, 90), true},
        {"resolution", size(3840, 2160), true},
        {"resolution", size(159, 90), false},
        {"resolution", size(160, 89), false},
        {"resolution", size(3841, 2160), false},
        {"resolution", size(3840, 2161), false},
        {"maximumFrameRate", 10, true},
        {"maximumFrameRate", 60, true},
        {"maximumFrameRate", 9, false},
        {"maximumFrameRate", 61, false},
        {"bitrateKbps", 1000, true},
        {"bitrateKbps", 150000, true},
        {"bitrateKbps", 999, false},
        {"bitrateKbps", 150001, false},
        {"minimumBitrateKbps", 300, true},
        {"minimumBitrateKbps", 150000, true},
        {"minimumBitrateKbps", 299, false},
        {"minimumBitrateKbps", 150001, false},
        {"mainMinimumBitrateKbps", 300, true},
        {"mainMinimumBitrateKbps", 150000, true},
        {"mainMinimumBitrateKbps", 299, false},
        {"mainMinimumBitrateKbps", 150001, false},
        {"minimumFrameRate", 1, true},
        {"minimumFrameRate", 60, true},
        {"minimumFrameRate", 0, false},
        {"minimumFrameRate", 61, false},
        {"proxyBitrateKbps", 200, true},
        {"proxyBitrateKbps", 6000, true},
        {"proxyBitrateKbps", 199, false},
        {"proxyBitrateKbps", 6001, false},
        {"keyframeInterval", 0.5, true},
        {"keyframeInterval", 10, true},
        {"keyframeInterval", 0.499, false},
        {"keyframeInterval", 10.001, false},
        {"studioBitrateKbps", 1000, true},
        {"studioBitrateKbps", 150000, true},
        {"studioBitrateKbps", 999, false},
        {"studioBitrateKbps", 150001, false},
        {"controlPort", 0, true},
        {"controlPort", 1024, true},
        {"controlPort", 65535, true},
        {"controlPort", 1, false},
        {"controlPort", 1023, false},
        // An extra output keeps its place and follows the source instead.
        {"extraOutputs", output({{"resolution", size(160, 90)}, {"frameRate", 50}}), true},
        {"extraOutputs", output({{"frameRate", 100000}}), false},
        {"extraOutputs", output({{"resolution", size(3841, 2160)}}), false},
    };
    const Json defaults = SenderSettings().toJson();
    for (const auto& row : table) {
        const Json read = SenderSettings::fromJson({{row.key, row.stored}}).toJson();
        Json expected = row.kept ? row.stored : defaults.value(row.key, Json());
        if (!row.kept && std::string_view(row.key) == "extraOutputs") {
            expected = output(Json::object());
        }
        EXPECT_EQ(read.value(row.key, Json()), expected) << row.key << " " << row.stored.dump();
    }
    // The codec's number, as older files wrote it, is no number of this kind: it still names the codec.
    EXPECT_EQ(SenderSettings::fromJson({{"preferredCodec", 1}}).preferredCodec, VideoCodec::h264);
}

TEST(SenderSettings, EnginesFallBackWholeAndOutputsOneByOne) {
    const Json complete = {{"id", "A"}, {"name", "Zwei"}};
    Json stored = {{"extraOutputs", {complete, {{"name", "ohne id"}}}}, {"enabledEngines", {"tcp", 7}}};
    SenderSettings settings = SenderSettings::fromJson(stored);
    EXPECT_EQ(settings.extraOutputs, std::vector<OutputSettings>{OutputSettings::fromJson(complete)});
    EXPECT_EQ(settings.enabledEngines, (std::vector<std::string>{"tcp", "quic"}));
}

// An output is read key by key as the settings are: a flawed value costs that value, not the output with
// its name and source, and the output after it keeps its place (and port). Only an entry without a string
// id is left out.
TEST(SenderSettings, EachFlawedKeyOfAnOutputKeepsItsDefault) {
    const Json entry = {{"id", "A"}, {"name", "Zwei"}, {"sourceID", "usb-cam"}};
    const OutputSettings read{"A", "Zwei", "usb-cam", {}, {}};
    const OutputSettings next{"B", "Drei", {}, {}, 25};
    const auto with = [&](const char* key, Json value) {
        Json changed = entry;
        changed[key] = std::move(value);
        return changed;
    };
    const auto without = [&](const char* key) {
        Json changed = entry;
        changed.erase(key);
        return changed;
    };
    const struct {
        Json stored;
        std::optional<OutputSettings> expected;
    } table[] = {
        {with("frameRate", "30"), read},
        {with("frameRate", 2.5), read},
        {with("resolution", {{"width", "1280"}, {"height", 720}}), read},
        {with("resolution", "1280x720"), read},
        {with("sourceID", 7), OutputSettings{"A", "Zwei", {}, {}, {}}},
        {with("name", nullptr), OutputSettings{"A", "", "usb-cam", {}, {}}},
        {with("name", Json::array()), OutputSettings{"A", "", "usb-cam", {}, {}}},
        {with("id", 7), std::nullopt},
        {without("id"), std::nullopt},
        {Json("A"), std::nullopt},
    };
    for (const auto& row : table) {
        const Json stored = {{"extraOutputs", {row.stored, next.toJson()}}};
        std::vector<OutputSettings> expected{next};
        if (row.expected) {
            expected.insert(expected.begin(), *row.expected);
        }
        EXPECT_EQ(json::to(SenderSettings::fromJson(stored).extraOutputs), json::to(expected))
            << row.stored.dump();
    }
}

TEST(SenderSettings, OnlyAnObjectDecodes) {
    EXPECT_THROW(SenderSettings::fromJson(Json::array()), WireError);
    EXPECT_THROW(SenderSettings::fromJson(Json("settings")), WireError);
}

TEST(SenderSettings, NonFiniteKeyframeIntervalFailsToEncode) {
    SenderSettings settings;
    settings.keyframeInterval = std::numeric_limits<double>::infinity();
    EXPECT_THROW(json::encode(settings.toJson()), WireError);
}

TEST(OutputSettings, StrictDecoding) {
    EXPECT_EQ(OutputSettings::fromJson(
                  {{"id", "X"}, {"name", "N"}, {"resolution", {{"width", 640}, {"height", 360}}}}),
              (OutputSettings{"X", "N", {}, VideoDimensions{640, 360}, {}}));
    EXPECT_THROW(OutputSettings::fromJson({{"id", "X"}}), WireError);
    EXPECT_THROW(OutputSettings::fromJson({{"id", 1}, {"name", "N"}}), WireError);
    EXPECT_THROW(OutputSettings::fromJson({{"id", "X"}, {"name", "N"}, {"sourceID", 4}}), WireError);
}

TEST(AutomaticBitrate, ReferenceTable) {
    // width, height, fps, normal, studio
    const std::vector<std::tuple<int, int, int, int, int>> table = {
        {1920, 1080, 30, 14000, 57000},  {1920, 1080, 25, 13000, 52000},  {1920, 1080, 50, 18000, 73000},
        {1920, 1080, 60, 20000, 80000},  {1280, 720, 30, 6000, 25000},    {1280, 720, 60, 9000, 36000},
        {3840, 2160, 25, 40000, 150000}, {3840, 2160, 30, 40000, 150000}, {960, 540, 30, 4000, 20000},
        {1920, 1080, 0, 4000, 20000},  // 0 fps counts as 1
    };
    for (const auto& [w, h, fps, normal, studio] : table) {
        EXPECT_EQ(SenderSettings::automaticBitrateKbps(w, h, fps, false), normal)
            << w << "x" << h << "@" << fps;
        EXPECT_EQ(SenderSettings::automaticBitrateKbps(w, h, fps, true), studio)
            << w << "x" << h << "@" << fps;
    }
    EXPECT_EQ(SenderSettings::automaticBitrateKbps(1920, 1080, 0, false),
              SenderSettings::automaticBitrateKbps(1920, 1080, 1, false));
}

TEST(AutomaticBitrate, StaysInsideItsBoundsForAnyInput) {
    for (int side : {0, -640, 16, 640, 1920, 7680, 65535}) {
        for (int fps : {-5, 0, 1, 24, 30, 60, 240, 100000}) {
            int normal = SenderSettings::automaticBitrateKbps(side, side * 9 / 16, fps, false);
            int studio = SenderSettings::automaticBitrateKbps(side, side * 9 / 16, fps, true);
            EXPECT_TRUE(normal >= 4000 && normal <= 40000 && normal % 1000 == 0) << normal;
            EXPECT_TRUE(studio >= 20000 && studio <= 150000 && studio % 1000 == 0) << studio;
        }
    }
}

TEST(ExtraOutputSettings, DerivedFromTheMainSettings) {
    SenderSettings main = everyFieldChanged();
    main.controlPort = 50000;

    SenderSettings forced =
        main.forExtraOutput({"A", "Zweite Kamera", "cam-2", VideoDimensions{1280, 720}, 25}, 2);
    EXPECT_EQ(forced.senderName, "Zweite Kamera");
    EXPECT_EQ(forced.resolution, (VideoDimensions{1280, 720}));
    EXPECT_FALSE(forced.autoResolution);
    EXPECT_EQ(forced.frameRate, 25);
    EXPECT_FALSE(forced.autoFrameRate);
    EXPECT_FALSE(forced.useTestPattern);
    EXPECT_EQ(forced.preferredDeviceID, "cam-2");
    EXPECT_FALSE(forced.useVideoFile);
    EXPECT_EQ(forced.videoFilePath, main.videoFilePath);
    EXPECT_FALSE(forced.autoStart);
    EXPECT_EQ(forced.controlPort, 47811);
    EXPECT_TRUE(forced.extraOutputs.empty());
    EXPECT_EQ(forced.preferredCodec, main.preferredCodec);
    EXPECT_EQ(forced.studioBitrateKbps, main.studioBitrateKbps);
    EXPECT_EQ(forced.enabledEngines, main.enabledEngines);

    SenderSettings following = main.forExtraOutput({"B", "Test", "testpattern", {}, {}}, 4);
    EXPECT_EQ(following.resolution, main.resolution);
    EXPECT_TRUE(following.autoResolution);
    EXPECT_EQ(following.frameRate, main.frameRate);
    EXPECT_TRUE(following.autoFrameRate);
    EXPECT_TRUE(following.useTestPattern);
    EXPECT_EQ(following.preferredDeviceID, std::nullopt);
    EXPECT_EQ(following.controlPort, 47813);

    SenderSettings none = main.forExtraOutput({"C", "Leer", {}, {}, {}}, 1);
    EXPECT_FALSE(none.useTestPattern);
    EXPECT_EQ(none.preferredDeviceID, std::nullopt);
    EXPECT_EQ(none.controlPort, 47810);
    EXPECT_EQ(main.forExtraOutput({"D", "x", {}, {}, {}}, -3).controlPort, 47810);
    EXPECT_EQ(main.forExtraOutput({"D", "x", {}, {}, {}}, 1 << 30).controlPort, 65535);
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

TEST(StreamTuningOfSettings, FieldByField) {
    SenderSettings settings;
    settings.remoteTuningAllowed = false;
    settings.middleTier = true;
    settings.proxyStream = false;
    settings.bitrateKbps = 12000;
    settings.mainMinimumBitrateKbps = 900;
    settings.proxyBitrateKbps = 700;
    settings.fullBitrateEncoder = true;
    settings.automaticBitrate = false;
    StreamTuning tuning = settings.streamTuning();
    EXPECT_FALSE(tuning.remoteControlAllowed);
    EXPECT_TRUE(tuning.adaptiveBitrate);
    EXPECT_TRUE(tuning.tolerantAdaptation);
    EXPECT_TRUE(tuning.mainTierEnabled);
    EXPECT_TRUE(tuning.middleTierEnabled);
    EXPECT_FALSE(tuning.proxyEnabled);
    EXPECT_FALSE(tuning.studioMode);
    EXPECT_FALSE(tuning.automaticBitrate);
    EXPECT_EQ(tuning.mainMaximumKbps, 12000);
    EXPECT_EQ(tuning.mainMinimumKbps, 900);
    EXPECT_EQ(tuning.proxyKbps, 700);
    EXPECT_EQ(tuning.maximumFrameRate, 0);
    EXPECT_EQ(tuning.fullBitrateEncoder, true);
    EXPECT_TRUE(tuning.tiers.empty());
    settings.maximumFrameRate = 25;
    EXPECT_EQ(settings.streamTuning().maximumFrameRate, 25);
}

TEST(ApplyingTuning, ClampsEveryAdjustableValue) {
    StreamTuning tuning = SenderSettings().streamTuning();
    tuning.mainMaximumKbps = 500;
    tuning.mainMinimumKbps = 100;
    tuning.proxyKbps = 10000;
    tuning.maximumFrameRate = 5;
    SenderSettings low = SenderSettings().applying(tuning);
    EXPECT_EQ(low.bitrateKbps, 1000);
    EXPECT_EQ(low.mainMinimumBitrateKbps, 300);
    EXPECT_EQ(low.proxyBitrateKbps, 6000);
    EXPECT_EQ(low.maximumFrameRate, 10);

    tuning.mainMaximumKbps = 900000;
    tuning.mainMinimumKbps = 200000;
    tuning.proxyKbps = 50;
    tuning.maximumFrameRate = 75;
    SenderSettings high = SenderSettings().applying(tuning);
    EXPECT_EQ(high.bitrateKbps, 150000);
    EXPECT_EQ(high.mainMinimumBitrateKbps, 150000);
    EXPECT_EQ(high.proxyBitrateKbps, 200);
    EXPECT_EQ(high.maximumFrameRate, 60);

    tuning.mainMaximumKbps = 2000;  // a minimum above the maximum stays above it
    tuning.mainMinimumKbps = 5000;
    EXPECT_EQ(SenderSettings().applying(tuning).mainMinimumBitrateKbps, 5000);

    for (int off : {0, -1}) {
        tuning.maximumFrameRate = off;
        EXPECT_EQ(SenderSettings().applying(tuning).maximumFrameRate, std::nullopt);
    }
}

TEST(ApplyingTuning, NeverSwitchesEveryTierOff) {
    StreamTuning tuning = SenderSettings().streamTuning();
    tuning.mainTierEnabled = false;
    tuning.middleTierEnabled = false;
    tuning.proxyEnabled = false;
    SenderSettings applied = SenderSettings().applying(tuning);
    EXPECT_TRUE(applied.mainTierEnabled);
    EXPECT_FALSE(applied.middleTier);
    EXPECT_FALSE(applied.proxyStream);

    tuning.proxyEnabled = true;
    EXPECT_FALSE(SenderSettings().applying(tuning).mainTierEnabled);
}

TEST(ApplyingTuning, LeavesWhatViewersMayNotChange) {
    SenderSettings settings;
    settings.fullBitrateEncoder = true;
    StreamTuning tuning = settings.streamTuning();
    tuning.remoteControlAllowed = false;
    tuning.fullBitrateEncoder.reset();
    tuning.studioMode = true;
    tuning.adaptiveBitrate = false;
    tuning.tiers = {StreamTuning::Tier{0, 1920, 1080, 9000, 30, 2}};
    SenderSettings applied = settings.applying(tuning);
    EXPECT_TRUE(applied.remoteTuningAllowed);
    EXPECT_TRUE(applied.fullBitrateEncoder);  // not given: unchanged
    EXPECT_TRUE(applied.studioMode);
    EXPECT_FALSE(applied.adaptiveBitrate);

    SenderSettings expected = settings;
    expected.studioMode = true;
    expected.adaptiveBitrate = false;
    EXPECT_EQ(applied, expected);

    tuning.fullBitrateEncoder = false;
    EXPECT_FALSE(settings.applying(tuning).fullBitrateEncoder);
}

TEST(ApplyingTuning, OwnTuningIsIdentityInsideTheRanges) {
    SenderSettings settings = SenderSettings::fromJson(
        {{"bitrateKbps", 8000}, {"maximumFrameRate", 30}, {"proxyStream", false}, {"middleTier", true}});
    EXPECT_EQ(settings.applying(settings.streamTuning()), settings);
    EXPECT_EQ(SenderSettings().applying(SenderSettings().streamTuning()), SenderSettings());
}

}  // namespace
}  // namespace kelvora
