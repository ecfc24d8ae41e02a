#include "app/developer/SettingsFormPresenters.h"

#include <gtest/gtest.h>

#include <climits>

namespace kelvora {
namespace {

using Kind = SourceChoice::Kind;

TierStatus tierAt(uint8_t index, int kbps) {
    TierStatus tier;
    tier.tier = index;
    tier.bitrateKbps = kbps;
    return tier;
}

std::vector<std::string> texts(const std::vector<SourceRow>& rows) {
    std::vector<std::string> result;
    for (const auto& row : rows) {
        result.push_back(row.text);
    }
    return result;
}

TEST(SourceChoiceForm, StoredSettingsBecomeTheFirstMatchingChoice) {
    struct Case {
        bool testPattern, videoFile, sample;
        std::optional<std::string> device;
        SourceChoice expected;
    };
    const Case cases[] = {
        {true, true, true, "cam", {Kind::testPattern, ""}},
        {false, true, true, "cam", {Kind::sampleVideo, ""}},
        {false, true, false, std::nullopt, {Kind::videoFile, ""}},
        {false, false, true, std::nullopt, {Kind::automatic, ""}},
        {false, false, false, "ndi:", {Kind::ndi, ""}},
        {false, false, false, "ndi:STUDIO (Kamera 1)", {Kind::ndi, "STUDIO (Kamera 1)"}},
        {false, false, false, "NDI:x", {Kind::device, "NDI:x"}},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        settings.useTestPattern = c.testPattern;
        settings.useVideoFile = c.videoFile;
        settings.preferredDeviceID = c.device;
        EXPECT_EQ(currentSourceChoice(settings, c.sample), c.expected) << c.device.value_or("-");
    }
}

TEST(SourceChoiceForm, RowsFollowDevicesSourcesAndTheRememberedOne) {
    const CaptureDeviceInfo camLink{"usb-1", "Cam Link", "Elgato", true, CaptureDeviceInfo::Connection::usb};
    struct Case {
        const char* name;
        std::optional<std::string> remembered;
        std::vector<CaptureDeviceInfo> devices;
        std::vector<NDISourceInfo> ndi;
        std::vector<std::string> rows;
        size_t selected;
    };
    const Case cases[] = {
        {"nothing",
         std::nullopt,
         {},
         {},
         {"Automatisch", "Testbild (mit Uhr)", "Beispielvideo", "Videodatei …"},
         0},
        {"device plugged",
         "usb-1",
         {camLink},
         {},
         {"Automatisch", "Cam Link · USB (UVC)", "Testbild (mit Uhr)", "Beispielvideo", "Videodatei …"},
         1},
        {"device unplugged",
         "usb-1",
         {},
         {},
         {"Automatisch", "Gemerktes Gerät (nicht angeschlossen)", "Testbild (mit Uhr)", "Beispielvideo",
          "Videodatei …"},
         1},
        {"ndi on the network",
         "ndi:STUDIO (Kamera 1)",
         {camLink},
         {{"CAM"}, {"STUDIO (Kamera 1)"}},
         {"Automatisch", "Cam Link · USB (UVC)", "NDI®: CAM – CAM", "NDI®: Kamera 1 – STUDIO",
          "Testbild (mit Uhr)", "Beispielvideo", "Videodatei …"},
         3},
        {"ndi gone",
         "ndi:CAM",
         {},
         {{"OTHER"}},
         {"Automatisch", "NDI®: OTHER – OTHER", "NDI®: CAM (nicht im Netz)", "Testbild (mit Uhr)",
          "Beispielvideo", "Videodatei …"},
         2},
        {"bare ndi prefix",
         "ndi:",
         {},
         {},
         {"Automatisch", "NDI®:  (nicht im Netz)", "Testbild (mit Uhr)", "Beispielvideo", "Videodatei …"},
         1},
    };
    for (const auto& c : cases) {
        SourceSectionState state;
        state.settings.preferredDeviceID = c.remembered;
        state.devices = c.devices;
        state.ndiSources = c.ndi;
        const auto rows = sourceRows(state);
        EXPECT_EQ(texts(rows), c.rows) << c.name;
        EXPECT_EQ(selectedSourceRow(rows, currentSourceChoice(state.settings, false)), c.selected) << c.name;
    }
}

TEST(SourceChoiceForm, FileRowsAndButtonsFollowTheFileInUse) {
    SourceSectionState state;
    state.isPreparingSampleVideo = true;
    state.settings.useVideoFile = true;
    state.videoFileDisplayName = "Konzert";
    auto rows = sourceRows(state);
    EXPECT_EQ(rows.at(2).text, "Beispielvideo (wird erzeugt …)");
    EXPECT_EQ(rows.at(3).text, "Videodatei: Konzert");
    EXPECT_TRUE(showsOtherFileButton(state));

    state.isUsingSampleVideo = true;
    EXPECT_EQ(sourceRows(state).at(3).text, "Videodatei …");
    EXPECT_FALSE(showsOtherFileButton(state));

    EXPECT_NE(reconnectHelp(true).find("versucht die App das auch selbst"), std::string::npos);
    EXPECT_EQ(reconnectHelp(false).find("selbst"), std::string::npos);
    EXPECT_EQ(sourceFooter(true).ndiLinkHost, "ndi.video");
    EXPECT_EQ(sourceFooter(false).ndiLink, "");
}

TEST(PictureForm, StoredValuesOutsideTheOptionsSelectNothing) {
    struct Case {
        const char* name;
        void (*change)(SenderSettings&);
        Picker (*picker)(const SenderSettings&);
        std::optional<size_t> selected;
    };
    const Case cases[] = {
        {"auto resolution",
         [](SenderSettings& s) {
             s.resolution = {640, 480};
         },
         resolutionPicker, 0},
        {"1080p", [](SenderSettings& s) { s.autoResolution = false; }, resolutionPicker, 2},
        {"480p",
         [](SenderSettings& s) {
             s.autoResolution = false;
             s.resolution = {640, 480};
         },
         resolutionPicker, std::nullopt},
        {"24 fps",
         [](SenderSettings& s) {
             s.autoFrameRate = false;
             s.frameRate = 24;
         },
         frameRatePicker, std::nullopt},
        {"60 fps",
         [](SenderSettings& s) {
             s.autoFrameRate = false;
             s.frameRate = 60;
         },
         frameRatePicker, 4},
        {"limit 50", [](SenderSettings& s) { s.maximumFrameRate = 50; }, maximumFrameRatePicker,
         std::nullopt},
        {"limit 30", [](SenderSettings& s) { s.maximumFrameRate = 30; }, maximumFrameRatePicker, 2},
        {"studio 100", [](SenderSettings& s) { s.studioBitrateKbps = 100000; }, studioBitratePicker,
         std::nullopt},
        {"studio 150", [](SenderSettings& s) { s.studioBitrateKbps = 150000; }, studioBitratePicker, 2},
        {"keyframe 3 s", [](SenderSettings& s) { s.keyframeInterval = 3.0; }, keyframeIntervalPicker,
         std::nullopt},
        {"keyframe 4 s", [](SenderSettings& s) { s.keyframeInterval = 4.0; }, keyframeIntervalPicker, 2},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        c.change(settings);
        EXPECT_EQ(c.picker(settings).selected, c.selected) << c.name;
    }
    EXPECT_EQ(resolutionPicker({}).options.at(3), "2160p (3840×2160)");
}

TEST(PictureForm, SummaryTellsWhatIsSent) {
    struct Case {
        std::optional<int> firstTierKbps;
        bool automaticBitrate, hevcHardware;
        std::string expected;
    };
    const std::string adapts =
        ". Die Bitrate passt sich automatisch an Auflösung, Bildrate und Verbindung an.";
    const Case cases[] = {
        {8500, true, true, "Gesendet wird 1280×720 mit 50 fps, höchstens 8.5 Mbit/s" + adapts},
        {9999, true, true, "Gesendet wird 1280×720 mit 50 fps, höchstens 10.0 Mbit/s" + adapts},
        {10000, true, true, "Gesendet wird 1280×720 mit 50 fps, höchstens 10 Mbit/s" + adapts},
        {20000, true, true, "Gesendet wird 1280×720 mit 50 fps, höchstens 20 Mbit/s" + adapts},
        {std::nullopt, true, true, "Gesendet wird 1280×720 mit 50 fps, höchstens 0.0 Mbit/s" + adapts},
        {20000, false, false,
         "Gesendet wird 1280×720 mit 50 fps" + adapts +
             " Dieser Computer kann HEVC nicht in Hardware encodieren – es wird H.264 verwendet."},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        settings.automaticBitrate = c.automaticBitrate;
        SenderStatus status;
        status.dimensions = VideoDimensions::hd720();
        status.configuredFrameRate = 50;
        status.hevcHardwareAvailable = c.hevcHardware;
        if (c.firstTierKbps) {
            status.tiers = {tierAt(0, *c.firstTierKbps), tierAt(2, 300)};
        }
        EXPECT_EQ(formatSummary(settings, status), c.expected);
    }
}

TEST(DeveloperForm, StepperLabelShowsWholeMegabitsOfAnyStoredValue) {
    const std::pair<int, std::string> cases[] = {
        {20500, "Höchstbitrate 20 Mbit/s"},
        {41000, "Höchstbitrate 41 Mbit/s"},
        {999, "Höchstbitrate 0 Mbit/s"},
        {INT_MIN, "Höchstbitrate -2147483 Mbit/s"},
    };
    for (const auto& [stored, label] : cases) {
        EXPECT_EQ(bitrateStepperLabel(stored), label);
    }
}

TEST(DeveloperForm, ControlsAndTogglesFollowTheModes) {
    struct Case {
        bool automatic, studio, adaptive, proxy;
        BitrateControl control;
        bool frameRateFirst, standby;
    };
    const Case cases[] = {
        {true, true, true, true, BitrateControl::none, true, true},
        {false, true, true, false, BitrateControl::studioPicker, true, false},
        {false, false, false, true, BitrateControl::stepper, false, false},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        settings.automaticBitrate = c.automatic;
        settings.studioMode = c.studio;
        settings.adaptiveBitrate = c.adaptive;
        settings.proxyStream = c.proxy;
        EXPECT_EQ(bitrateControl(settings), c.control);
        EXPECT_EQ(developerToggles(settings).adaptFrameRateFirstEnabled, c.frameRateFirst);
        EXPECT_EQ(developerToggles(settings).hotStandbyProxyEnabled, c.standby);
    }
}

TEST(DeveloperForm, EngineRowsShowViewersAndLockWhatCannotBeSwitched) {
    SenderStatus status;
    status.engines = {{EngineKind::tcp(), true, true, "Port 47810", 3},
                      {EngineKind::quic(), false, false, "kein UDP", 0},
                      {EngineKind::quic(), true, true, "Port 47810/udp", -2}};
    const auto rows = engineRows(status);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].title, "Übertragung: Nativ TCP");
    EXPECT_EQ(rows[0].clientCount, 3);
    EXPECT_FALSE(rows[0].isSwitchable);
    EXPECT_EQ(rows[1].detail, "nicht verfügbar: kein UDP");
    EXPECT_FALSE(rows[1].isSwitchable);
    EXPECT_TRUE(rows[2].isSwitchable);
    EXPECT_EQ(rows[2].clientCount, 0);
    EXPECT_EQ(rows[2].detail, "Port 47810/udp");
}

TEST(InfoForm, AddressesCarryOnlyAPortOtherThanTheDefault) {
    struct Case {
        std::optional<uint16_t> port;
        std::string portText;
        std::vector<std::string> addresses;
    };
    const Case cases[] = {
        {std::nullopt, "–", {"192.168.1.5", "10.0.0.2"}},
        {47810, "47810", {"192.168.1.5", "10.0.0.2"}},
        {47811, "47811", {"192.168.1.5:47811", "10.0.0.2:47811"}},
    };
    for (const auto& c : cases) {
        SenderStatus status;
        status.controlPort = c.port;
        EXPECT_EQ(controlPortText(status), c.portText);
        EXPECT_EQ(addressTexts({"192.168.1.5", "10.0.0.2"}, status), c.addresses);
        EXPECT_TRUE(addressTexts({}, status).empty());
    }
}

TEST(SenderNameCommit, TrimsSpaceSeparatorsAndTabsButNotLineBreaks) {
    const std::pair<std::string, std::string> cases[] = {
        {" Regie \t", "Regie"},
        {"\u00A0\u3000Bühne 2\u202F", "Bühne 2"},
        {"   ", ""},
        {"", ""},
        {"\nStudio\n", "\nStudio\n"},
        {"A  B", "A  B"},
    };
    for (const auto& [typed, committed] : cases) {
        EXPECT_EQ(committedSenderName(typed), committed) << typed;
    }
}

}  // namespace
}  // namespace kelvora
