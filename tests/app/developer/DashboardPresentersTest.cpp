#include "app/developer/DashboardPresenters.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

using Kind = SenderStatus::State::Kind;

ClientStatus viewer(double latencyMs) {
    ClientStatus client;
    client.latencyMs = latencyMs;
    return client;
}

SenderStatus liveStatus() {
    SenderStatus status;
    status.state = SenderStatus::State::live();
    status.sourceName = "Testbild";
    status.measuredFrameRate = 29.6;
    status.outputKbps = 8500;
    return status;
}

TEST(DashboardPresenters, RatesSwitchToWholeMegabitsAtTenThousandKilobits) {
    const std::vector<std::pair<int, std::string>> rows = {{0, "0.0"},     {8500, "8.5"}, {9949, "9.9"},
                                                           {9999, "10.0"}, {10000, "10"}, {10499, "10"},
                                                           {123456, "123"}};
    for (const auto& [kbps, text] : rows) {
        EXPECT_EQ(megabitText(kbps), text) << kbps;
    }
}

TEST(DashboardPresenters, MetricTilesShowDashesWhileNotLiveAndOnlyReportedLatencies) {
    struct Row {
        const char* name;
        SenderStatus status;
        std::array<std::string, 4> values;
        std::string latencyUnit;
    };
    SenderStatus none;
    SenderStatus twoViewers = liveStatus();
    twoViewers.clients = {viewer(40), viewer(-1)};
    SenderStatus rounding = liveStatus();
    rounding.outputKbps = 9999;
    rounding.clients = {viewer(10), viewer(15)};
    SenderStatus failed = liveStatus();
    failed.state = SenderStatus::State::error("kaputt");
    failed.clients = {viewer(-1)};
    SenderStatus noSignal = liveStatus();
    noSignal.state = SenderStatus::State::noSignal();
    const std::vector<Row> rows = {
        {"no viewer", none, {"–", "–", "0", "–"}, ""},
        {"one viewer not reported yet", twoViewers, {"30", "8.5", "2", "40"}, "ms"},
        {"9999 kbit/s and a half millisecond", rounding, {"30", "10.0", "2", "12"}, "ms"},
        {"failed keeps its viewers", failed, {"–", "–", "1", "–"}, ""},
        {"no signal", noSignal, {"–", "–", "0", "–"}, ""},
    };
    for (const Row& row : rows) {
        const auto tiles = metricTiles(row.status);
        for (size_t i = 0; i < tiles.size(); ++i) {
            EXPECT_EQ(tiles[i].value, row.values[i]) << row.name << ", tile " << tiles[i].title;
        }
        EXPECT_EQ(tiles[3].unit, row.latencyUnit) << row.name;
        EXPECT_EQ(tiles[0].unit, "fps") << row.name;
    }
}

TEST(DashboardPresenters, ReferenceClockOnlyWhileTheTestPictureIsLive) {
    for (const auto& [kind, testPattern, shown] :
         std::vector<std::tuple<Kind, bool, bool>>{{Kind::live, true, true},
                                                   {Kind::live, false, false},
                                                   {Kind::starting, true, false},
                                                   {Kind::paused, true, false}}) {
        SenderStatus status = liveStatus();
        status.isTestPattern = testPattern;
        status.state = kind == Kind::live       ? SenderStatus::State::live()
                       : kind == Kind::starting ? SenderStatus::State::starting()
                                                : SenderStatus::State::paused();
        EXPECT_EQ(showsReferenceClock(status), shown) << static_cast<int>(kind) << testPattern;
    }
}

TEST(DashboardPresenters, PreviewPanelLayersAndChips) {
    struct Row {
        const char* name;
        SenderStatus status;
        bool paused;
        CameraAuthorization camera;
        PreviewPanelText expected;
    };
    SenderStatus noSignal = liveStatus();
    noSignal.state = SenderStatus::State::noSignal();
    noSignal.sourceIsBlack = true;
    SenderStatus uhd = liveStatus();
    uhd.dimensions = {3840, 2160};
    uhd.configuredFrameRate = 50;
    uhd.codec = VideoCodec::h264;
    uhd.sourceID = "videofile:/tmp/a.mp4";
    uhd.outputKbps = 10000;
    SenderStatus odd = liveStatus();
    odd.dimensions = {1000, 1000};
    odd.isTestPattern = true;
    odd.sourceID = "videofile:x";
    SenderStatus waiting;
    waiting.sourceIsBlack = true;
    SenderStatus failed;
    failed.state = SenderStatus::State::error("x");
    SenderStatus starting;
    starting.state = SenderStatus::State::starting();

    const auto text = [](bool video, const char* symbol, bool camera, bool resume, bool pulsing,
                         ColorToken color, bool black, const char* format, const char* source,
                         const char* rate) {
        return PreviewPanelText{video, symbol, camera, resume, pulsing, color, black, format, source, rate};
    };
    using enum CameraAuthorization;
    const std::vector<Row> rows = {
        {"no signal shows the picture", noSignal, false, authorized,
         text(true, "video.slash", false, false, false, ColorToken::orange, true, "1080p · 30 fps · HEVC",
              "cable.connector.horizontal", "8.5 Mbit/s")},
        {"live but paused", liveStatus(), true, notDetermined,
         text(false, "pause.circle", false, true, false, ColorToken::gray, false, "1080p · 30 fps · HEVC",
              "cable.connector.horizontal", "8.5 Mbit/s")},
        {"paused with camera denied", waiting, true, denied,
         text(false, "pause.circle", true, true, false, ColorToken::gray, false, "1080p · 30 fps · HEVC",
              "cable.connector.horizontal", "0.0 Mbit/s")},
        {"waiting, camera restricted, black ignored", waiting, false, restricted,
         text(false, "cable.connector.slash", true, false, false, ColorToken::gray, false,
              "1080p · 30 fps · HEVC", "cable.connector.horizontal", "0.0 Mbit/s")},
        {"2160p50 H.264 from a file", uhd, false, authorized,
         text(true, "video.slash", false, false, true, ColorToken::liveRed, false, "2160p · 50 fps · H.264",
              "film", "10 Mbit/s")},
        {"unnamed height, test picture wins", odd, false, authorized,
         text(true, "video.slash", false, false, true, ColorToken::liveRed, false, "1000p · 30 fps · HEVC",
              "testtube.2", "8.5 Mbit/s")},
        {"error", failed, false, authorized,
         text(false, "exclamationmark.triangle", false, false, false, ColorToken::red, false,
              "1080p · 30 fps · HEVC", "cable.connector.horizontal", "0.0 Mbit/s")},
        {"starting", starting, false, authorized,
         text(false, "hourglass", false, false, false, ColorToken::orange, false, "1080p · 30 fps · HEVC",
              "cable.connector.horizontal", "0.0 Mbit/s")},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(previewPanel(row.status, row.paused, row.camera), row.expected) << row.name;
    }
}

TEST(DashboardPresenters, OutputStatusLineNamesPauseAndFailure) {
    SenderStatus waiting;
    SenderStatus starting = liveStatus();
    starting.state = SenderStatus::State::starting();
    starting.sourceName = "USB Kamera";
    SenderStatus paused = starting;
    paused.state = SenderStatus::State::paused();
    SenderStatus failed = starting;
    failed.state = SenderStatus::State::error("Gerät verschwunden");
    SenderStatus noSignal = starting;
    noSignal.state = SenderStatus::State::noSignal();
    SenderStatus live = liveStatus();
    live.outputKbps = 9999;
    live.clients = {viewer(1), viewer(2)};
    SenderStatus withPort = live;
    withPort.controlPort = 47811;
    withPort.dimensions = {1280, 720};
    withPort.outputKbps = 12345;
    const std::vector<std::tuple<const char*, SenderStatus, bool, std::string>> rows = {
        {"no source", waiting, false, "Keine Quelle"},
        {"starting", starting, false, "Startet … USB Kamera"},
        {"no signal", noSignal, false, "Startet … USB Kamera"},
        {"paused state", paused, false, "Pausiert · USB Kamera"},
        {"paused before the pipeline says so", live, true, "Pausiert · Testbild"},
        {"paused without source", waiting, true, "Pausiert"},
        {"failed", failed, false, "Fehler: Gerät verschwunden"},
        {"live without port", live, false, "Live · 1080p · 30 fps · 10.0 Mbit/s · 2 Empfänger"},
        {"live with port", withPort, false, "Live · 720p · 30 fps · 12 Mbit/s · 2 Empfänger · Port 47811"},
    };
    for (const auto& [name, status, isPaused, line] : rows) {
        EXPECT_EQ(outputStatusLine(status, isPaused), line) << name;
    }
}

TEST(DashboardPresenters, SourceRowsKeepAVanishedNdiSourceSelectedAndNoRowForAGoneDevice) {
    CaptureDeviceInfo camera;
    camera.id = "usb-1";
    camera.name = "Cam Link 4K";
    const std::vector<CaptureDeviceInfo> devices = {camera};
    const NDISourceInfo studio{"STUDIO (Kamera 1)"};
    struct Row {
        const char* name;
        std::vector<NDISourceInfo> announced;
        std::optional<std::string> stored;
        std::string lastLabel;
        int selected;
    };
    const std::vector<Row> rows = {
        {"nothing stored", {}, std::nullopt, "Cam Link 4K", 0},
        {"test picture", {studio}, "testpattern", "NDI®: Kamera 1 – STUDIO", 1},
        {"announced NDI source", {studio}, "ndi:STUDIO (Kamera 1)", "NDI®: Kamera 1 – STUDIO", 3},
        {"NDI source gone", {}, "ndi:STUDIO (Kamera 1)", "NDI®: STUDIO (Kamera 1) (nicht im Netz)", 3},
        {"device gone", {studio}, "usb-2", "NDI®: Kamera 1 – STUDIO", -1},
    };
    for (const Row& row : rows) {
        const auto sources = outputSourceRows(devices, row.announced, row.stored);
        EXPECT_EQ(sources.back().label, row.lastLabel) << row.name;
        EXPECT_EQ(sources.size(), 4u - (row.announced.empty() && !row.stored)) << row.name;
        EXPECT_EQ(selectedRow(sources, row.stored), row.selected) << row.name;
    }
    EXPECT_EQ(selectedRow(outputFrameRateRows(), std::optional<int>(50)), 3);
    EXPECT_EQ(selectedRow(outputFrameRateRows(), std::optional<int>(24)), -1);
    EXPECT_EQ(selectedRow(outputResolutionRows(), std::optional<VideoDimensions>()), 0);
    EXPECT_TRUE(canAddOutput(2));
    EXPECT_FALSE(canAddOutput(3));
}

}  // namespace
}  // namespace kelvora
