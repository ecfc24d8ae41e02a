#include "app/shell/SimpleViewPresenters.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

using State = SenderStatus::State;
using Action = PlaceholderAction;

SenderStatus status(State state, int clients = 0, bool black = false) {
    SenderStatus result;
    result.state = std::move(state);
    result.sourceName = "Cam Link";
    result.sourceIsBlack = black;
    result.clients.resize(static_cast<size_t>(clients));
    return result;
}

OutputSettings withSource() {
    return OutputSettings{"A", "Bühne", "dev1", std::nullopt, std::nullopt};
}

TEST(TileFace, MainTileFollowsStatusPauseAndCamera) {
    using C = CameraAuthorization;
    struct Row {
        MainTileState in;
        std::string title, detail, symbol;
        ColorToken color;
        bool video, pulse, blackChip;
        Action action;
    };
    const Row rows[] = {
        {{status(State::live(), 0, true)},
         "Live",
         "Cam Link",
         "video",
         ColorToken::liveRed,
         true,
         true,
         true,
         Action::none},
        // Without a signal the picture stays on screen, but nothing pulses.
        {{status(State::noSignal())},
         "Kein Signal",
         "Cam Link",
         "video",
         ColorToken::orange,
         true,
         false,
         false,
         Action::none},
        {{status(State::waitingForSource()), false, false, C::denied},
         "Kein Videoeingang",
         "Kamerazugriff nicht erlaubt",
         "cable.connector.slash",
         ColorToken::gray,
         false,
         false,
         false,
         Action::allowCamera},
        // The camera button wins over resuming; all outputs resume before the main source alone.
        {{status(State::live(), 0, true), true, true, C::restricted},
         "Pausiert",
         "Cam Link",
         "video.slash",
         ColorToken::gray,
         false,
         false,
         false,
         Action::allowCamera},
        {{status(State::live()), true, true},
         "Pausiert",
         "Cam Link",
         "video.slash",
         ColorToken::gray,
         false,
         false,
         false,
         Action::resumeAll},
        {{status(State::noSignal()), false, true},
         "Pausiert",
         "Cam Link",
         "video.slash",
         ColorToken::orange,
         false,
         false,
         false,
         Action::resumeMainSource},
        {{status(State::error("Encoder fehlt"))},
         "Fehler",
         "Encoder fehlt",
         "exclamationmark.triangle",
         ColorToken::red,
         false,
         false,
         false,
         Action::none},
        {{status(State::paused())},
         "Pausiert",
         "Stream angehalten",
         "pause.circle",
         ColorToken::gray,
         false,
         false,
         false,
         Action::none},
        {{status(State::starting())},
         "Startet …",
         "Cam Link",
         "hourglass",
         ColorToken::orange,
         false,
         false,
         false,
         Action::none},
    };
    for (const Row& row : rows) {
        const TileFace face = mainTileFace(row.in);
        SCOPED_TRACE(row.title + " / " + row.detail);
        EXPECT_EQ(face.title, row.title);
        EXPECT_EQ(face.detail, row.detail);
        EXPECT_EQ(face.placeholderSymbol, row.symbol);
        EXPECT_EQ(face.color, row.color);
        EXPECT_EQ(face.showsVideo, row.video);
        EXPECT_EQ(face.badgePulses, row.pulse);
        EXPECT_EQ(face.showsBlackChip, row.blackChip);
        EXPECT_EQ(face.action, row.action);
    }
}

TEST(TileFace, ExtraTileReadsFailureAsFailureAndNoSignalAsStarting) {
    struct Row {
        ExtraTileState in;
        std::string title, detail;
        ColorToken color;
        bool video;
        Action action;
    };
    const Row rows[] = {
        {{status(State::live()), false, false, withSource()},
         "Live",
         "Cam Link",
         ColorToken::liveRed,
         true,
         Action::none},
        {{status(State::error("Gerät belegt")), false, false, withSource()},
         "Fehler",
         "Gerät belegt",
         ColorToken::red,
         false,
         Action::none},
        {{status(State::noSignal()), false, false, withSource()},
         "Startet …",
         "Cam Link",
         ColorToken::gray,
         false,
         Action::none},
        {{status(State::waitingForSource()), false, false, withSource()},
         "Startet …",
         "Cam Link",
         ColorToken::gray,
         false,
         Action::none},
        // No source beats the failure; vanished settings count as no source.
        {{status(State::error("x")), false, false,
          OutputSettings{"A", "B", std::nullopt, std::nullopt, std::nullopt}},
         "Keine Quelle",
         "Darunter eine Quelle wählen",
         ColorToken::gray,
         false,
         Action::none},
        {{status(State::live()), false, false, std::nullopt},
         "Keine Quelle",
         "Darunter eine Quelle wählen",
         ColorToken::gray,
         true,
         Action::none},
        {{status(State::live()), false, true, withSource()},
         "Pausiert",
         "Diese Quelle ist angehalten",
         ColorToken::gray,
         false,
         Action::resumeOutput},
        {{status(State::error("x")), true, true, withSource()},
         "Pausiert",
         "Diese Quelle ist angehalten",
         ColorToken::gray,
         false,
         Action::none},
    };
    for (const Row& row : rows) {
        const TileFace face = extraTileFace(row.in);
        SCOPED_TRACE(row.title + " / " + row.detail);
        EXPECT_EQ(face.title, row.title);
        EXPECT_EQ(face.detail, row.detail);
        EXPECT_EQ(face.color, row.color);
        EXPECT_EQ(face.showsVideo, row.video);
        EXPECT_EQ(face.action, row.action);
    }
    EXPECT_EQ(extraTileName(std::nullopt, 3), "Ausgang 3");
}

TEST(TileFace, ViewerChipOnlyWithViewers) {
    EXPECT_EQ(mainTileFace({status(State::live(), 0)}).viewerCount, "");
    const TileFace five = mainTileFace({status(State::live(), 5)});
    EXPECT_EQ(five.viewerCount, "5");
    EXPECT_EQ(five.viewerHelp, "5 Gerät(e) schauen zu");
}

CaptureDeviceInfo device(std::string id, CaptureDeviceInfo::Connection connection, bool external = true) {
    CaptureDeviceInfo info;
    info.id = id;
    info.name = "Dev " + id;
    info.isExternal = external;
    info.connection = connection;
    return info;
}

// Each row rendered as one short text: "|" a divider, otherwise "title [symbol] =id".
std::vector<std::string> render(const std::vector<SourceMenuEntry>& entries) {
    std::vector<std::string> out;
    for (const SourceMenuEntry& entry : entries) {
        out.push_back(entry.isDivider ? "|"
                                      : entry.title + " [" + entry.symbol + "] =" + entry.id.value_or("-"));
    }
    return out;
}

TEST(SourceMenu, GroupsDividersAndMissingChoices) {
    using Conn = CaptureDeviceInfo::Connection;
    const std::vector<CaptureDeviceInfo> usb{device("u1", Conn::usb)};
    const std::vector<CaptureDeviceInfo> withCard{device("u1", Conn::usb), device("d1", Conn::deckLink)};
    const std::vector<NDISourceInfo> ndi{{"STUDIO-PC (Kamera 1)"}, {"Beamer"}};
    using Lines = std::vector<std::string>;
    struct Row {
        std::vector<CaptureDeviceInfo> devices;
        std::vector<NDISourceInfo> ndi;
        std::optional<std::string> selection;
        bool driver;
        Lines expected;
    };
    const std::string setup =
        "DeckLink/UltraStudio (Thunderbolt) einrichten … [rectangle.connected.to.line.below] "
        "=setup:decklink";
    const Row rows[] = {
        {{}, {}, std::nullopt, false, Lines{"Keine [wand.and.stars] =-"}},
        {{}, {}, std::nullopt, true, Lines{"Keine [wand.and.stars] =-", "|", setup}},
        {withCard,
         {},
         "d1",
         true,
         Lines{"Keine [wand.and.stars] =-", "|", "Dev u1 · USB (UVC) [cable.connector.horizontal] =u1",
               "Dev d1 · DeckLink/UltraStudio [rectangle.connected.to.line.below] =d1"}},
        {usb, ndi, "ndi:STUDIO-PC (Kamera 1)", true,
         Lines{"Keine [wand.and.stars] =-", "|", "Dev u1 · USB (UVC) [cable.connector.horizontal] =u1", "|",
               setup, "|", "NDI®: Kamera 1 – STUDIO-PC [network] =ndi:STUDIO-PC (Kamera 1)",
               "NDI®: Beamer – Beamer [network] =ndi:Beamer"}},
        {{},
         {},
         "ndi:GONE (Cam)",
         false,
         Lines{"Keine [wand.and.stars] =-", "|",
               "NDI®: GONE (Cam) (nicht im Netz) [cable.connector.slash] =ndi:GONE (Cam)"}},
        {usb,
         {},
         "unplugged",
         false,
         Lines{"Keine [wand.and.stars] =-", "|", "Dev u1 · USB (UVC) [cable.connector.horizontal] =u1", "|",
               "Gemerktes Gerät (nicht angeschlossen) [cable.connector.slash] =unplugged"}},
        {{},
         {},
         "testpattern",
         false,
         Lines{"Keine [wand.and.stars] =-", "|", "Testbild [cable.connector.slash] =testpattern"}},
    };
    for (const Row& row : rows) {
        const auto entries = sourceMenuEntries(row.devices, row.ndi, row.selection, "Keine", row.driver);
        EXPECT_EQ(render(entries), row.expected) << row.selection.value_or("-");
        const int selected = selectedSourceEntry(entries, row.selection);
        ASSERT_GE(selected, 0);
        EXPECT_EQ(entries[static_cast<size_t>(selected)].id, row.selection);
    }
}

TEST(TileControls, FormatChipAndPickers) {
    SenderStatus live = status(State::live());
    live.measuredFrameRate = 29.97;
    EXPECT_EQ(formatChipText(live, false), "1080p · 30 fps");
    live.dimensions = {960, 540};
    EXPECT_EQ(formatChipText(live, false), "540p · 30 fps");
    EXPECT_EQ(formatChipText(live, true), std::nullopt);
    EXPECT_EQ(formatChipText(status(State::noSignal()), false), std::nullopt);

    EXPECT_EQ(resolutionPickerTitles(), (std::vector<std::string>{"Wie Quelle", "720p", "1080p", "2160p"}));
    EXPECT_EQ(frameRatePickerTitles(),
              (std::vector<std::string>{"Wie Quelle", "25 fps", "30 fps", "50 fps", "60 fps"}));
    // A stored value the picker does not offer selects nothing, and row 0 or a missing row writes none.
    EXPECT_EQ(resolutionPickerIndex(VideoDimensions{1920, 1080}), 2);
    EXPECT_EQ(resolutionPickerIndex(VideoDimensions{1000, 1000}), -1);
    EXPECT_EQ(frameRatePickerIndex(std::nullopt), 0);
    EXPECT_EQ(frameRatePickerIndex(24), -1);
    EXPECT_EQ(resolutionPickerValue(1), (VideoDimensions{1280, 720}));
    EXPECT_EQ(frameRatePickerValue(4), 60);
    for (int index : {0, 5, -1}) {
        EXPECT_EQ(frameRatePickerValue(index), std::nullopt) << index;
    }
}

TEST(ReceiversCard, RowsQualityAndLatency) {
    struct Row {
        std::string model;
        uint8_t tier;
        bool bridging, studio, extras, media;
        double latency;
        std::string symbol, detail, quality;
        ColorToken qualityColor;
        std::string latencyText;
        ColorToken latencyColor;
    };
    const Row rows[] = {
        {"iPad13,1", 0, false, true, false, true, -1, "ipad", "verbunden", "Studio-Qualität",
         ColorToken::green, "–", ColorToken::gray},
        {"MacBookPro-iPad", 0, true, false, false, false, 79.6, "ipad", "verbindet …", "kurz reduziert",
         ColorToken::orange, "80 ms", ColorToken::green},
        {"Mac14,2", 1, false, false, true, true, 80, "laptopcomputer", "schaut „Bühne“", "Mittlere Qualität",
         ColorToken::orange, "80 ms", ColorToken::orange},
        {"", 2, false, false, true, false, 150, "iphone", "schaut „Bühne“", "Sparmodus", ColorToken::orange,
         "150 ms", ColorToken::red},
        {"iPhone15,2", 0, false, false, false, true, 149.9, "iphone", "verbunden", "Volle Qualität",
         ColorToken::green, "150 ms", ColorToken::orange},
    };
    for (const Row& row : rows) {
        ClientStatus client;
        client.id = "t";
        client.name = "Anna";
        client.deviceModel = row.model;
        client.tier = row.tier;
        client.isBridging = row.bridging;
        client.isMediaConnected = row.media;
        client.latencyMs = row.latency;
        const ReceiverRow out = receiverRow(client, "Bühne", row.extras, row.studio);
        SCOPED_TRACE(row.model);
        EXPECT_EQ(out.symbol, row.symbol);
        EXPECT_EQ(out.detail, row.detail);
        EXPECT_EQ(out.quality, row.quality);
        EXPECT_EQ(out.qualityColor, row.qualityColor);
        EXPECT_EQ(out.latency, row.latencyText);
        EXPECT_EQ(out.latencyColor, row.latencyColor);
    }
    EXPECT_EQ(receiverCountText(0), "");
    EXPECT_EQ(receiverCountText(3), "3");
}

TEST(ConnectionHint, AddressWithPortOnlyWhenNotTheDefault) {
    const std::vector<std::string> two{"192.168.1.20", "10.0.0.5"};
    EXPECT_EQ(connectionAddressText(two, 47811), "192.168.1.20:47811");
    EXPECT_EQ(connectionAddressText(two, 47810), "192.168.1.20");
    EXPECT_EQ(connectionAddressText(two, std::nullopt), "192.168.1.20");
    EXPECT_EQ(connectionAddressText({}, 47811), std::nullopt);
    EXPECT_EQ(linkHostLabel("https://ndi.video/"), "ndi.video");
}

}  // namespace
}  // namespace kelvora
