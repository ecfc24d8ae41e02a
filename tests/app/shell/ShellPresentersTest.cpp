#include "app/shell/ShellPresenters.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

SenderStatus statusIn(SenderStatus::State state, int clients = 0) {
    SenderStatus status;
    status.state = std::move(state);
    for (int i = 0; i < clients; ++i) {
        ClientStatus client;
        client.name = "Gerät " + std::to_string(i + 1);
        status.clients.push_back(client);
    }
    return status;
}

TierStatus tierAt(int kbps) {
    TierStatus tier;
    tier.bitrateKbps = kbps;
    return tier;
}

EngineStatus engine(EngineKind kind, bool enabled) {
    EngineStatus status;
    status.kind = std::move(kind);
    status.isEnabled = enabled;
    return status;
}

TrayRowInputs rowInputs(bool paused, bool developer, bool testPattern, bool usingSample,
                        bool preparingSample) {
    TrayRowInputs inputs;
    inputs.isPaused = paused;
    inputs.developerMode = developer;
    inputs.useTestPattern = testPattern;
    inputs.isUsingSampleVideo = usingSample;
    inputs.isPreparingSampleVideo = preparingSample;
    return inputs;
}

TEST(TraySymbol, FirstMatchingRuleWins) {
    using State = SenderStatus::State;
    const struct {
        bool paused;
        SenderStatus status;
        std::string_view symbol;
    } cases[] = {
        {true, statusIn(State::live(), 2), "pause.circle"},
        {true, statusIn(State::error("x")), "pause.circle"},
        {false, statusIn(State::waitingForSource()), "antenna.radiowaves.left.and.right.slash"},
        {false, statusIn(State::starting()), "dot.radiowaves.left.and.right"},
        {false, statusIn(State::noSignal()), "dot.radiowaves.left.and.right"},
        {false, statusIn(State::live(), 1), "dot.radiowaves.up.forward"},
        {false, statusIn(State::live(), 0), "dot.radiowaves.left.and.right"},
        {false, statusIn(State::paused()), "pause.circle"},
        {false, statusIn(State::error("kaputt")), "exclamationmark.triangle"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(traySymbol(c.paused, c.status), c.symbol) << c.symbol;
    }
}

TEST(TrayFigures, BitrateDecimalsFollowEachNumberOnItsOwn) {
    const struct {
        int output;
        int target;
        std::string text;
    } cases[] = {
        {9999, 6000, "10.0 Mbit/s (Ziel 6.0)"},
        {10000, 6000, "10 Mbit/s (Ziel 6.0)"},
        {850, 12500, "0.8 Mbit/s (Ziel 12)"},
        {0, 0, "0.0 Mbit/s (Ziel 0.0)"},
    };
    for (const auto& c : cases) {
        SenderStatus status = statusIn(SenderStatus::State::live());
        status.outputKbps = c.output;
        if (c.target > 0) {
            status.tiers.push_back(tierAt(c.target));
        }
        EXPECT_EQ(trayFigures(status, true)[2], (TrayFigure{"Bitrate", c.text})) << c.output;
    }
}

TEST(TrayFigures, LiveAndWaitingWithAndWithoutDeveloperMode) {
    SenderStatus live = statusIn(SenderStatus::State::live(), 2);
    live.sourceName = "Cam Link 4K";
    live.dimensions = VideoDimensions{1920, 1080};
    live.measuredFrameRate = 29.97;
    live.codec = VideoCodec::h264;
    live.outputKbps = 7200;
    live.tiers.push_back(tierAt(8000));
    live.engines.push_back(engine(EngineKind::tcp(), true));
    live.engines.push_back(engine(EngineKind::quic(), false));
    live.engines.push_back(engine(EngineKind::srt(), true));
    EXPECT_EQ(trayFigures(live, true), (std::vector<TrayFigure>{
                                           {"Gerät", "Cam Link 4K"},
                                           {"Format", "1920×1080 · 30 fps · H.264"},
                                           {"Bitrate", "7.2 Mbit/s (Ziel 8.0)"},
                                           {"Geräte", "Gerät 1, Gerät 2"},
                                           {"Engines", "Nativ TCP, SRT"},
                                       }));
    EXPECT_EQ(trayFigures(statusIn(SenderStatus::State::waitingForSource()), false),
              (std::vector<TrayFigure>{{"Gerät", "–"}, {"Format", "–"}, {"Geräte", "keine"}}));
}

TEST(TrayRows, DeveloperRowsAndTitlesFollowTheState) {
    const auto titles = [](const TrayRowInputs& inputs) {
        std::vector<std::string> list;
        for (const TrayRow& row : trayRows(inputs)) {
            list.push_back(row.title);
        }
        return list;
    };
    EXPECT_EQ(titles({}),
              (std::vector<std::string>{"Fenster öffnen", "Stream pausieren", "Tilvara Sender beenden"}));
    EXPECT_EQ(titles(rowInputs(true, true, true, false, true)),
              (std::vector<std::string>{"Fenster öffnen", "Stream fortsetzen", "Testbild beenden",
                                        "Beispielvideo wird erzeugt …", "Tilvara Sender beenden"}));
    EXPECT_EQ(titles(rowInputs(false, true, false, true, true))[3], "Beispielvideo beenden");
}

TEST(Onboarding, SourceLineFollowsTheLiveStatus) {
    const struct {
        SenderStatus::State state;
        VideoDimensions dimensions;
        double rate;
        OnboardingSourceLine line;
    } cases[] = {
        {SenderStatus::State::live(),
         {1280, 720},
         29.97,
         {true, "checkmark.circle.fill", "Erkannt: Kamera · 720p · 30 fps"}},
        {SenderStatus::State::live(),
         {800, 600},
         0,
         {true, "checkmark.circle.fill", "Erkannt: Kamera · 600p · 0 fps"}},
        {SenderStatus::State::noSignal(),
         {1920, 1080},
         30,
         {false, "hourglass", "Noch keine Quelle erkannt – einfach anschließen."}},
        {SenderStatus::State::paused(),
         {1920, 1080},
         30,
         {false, "hourglass", "Noch keine Quelle erkannt – einfach anschließen."}},
    };
    for (const auto& c : cases) {
        SenderStatus status = statusIn(c.state);
        status.sourceName = "Kamera";
        status.dimensions = c.dimensions;
        status.measuredFrameRate = c.rate;
        EXPECT_EQ(onboardingSourceLine(status), c.line) << c.line.text;
    }
}

TEST(Onboarding, AddressHintNamesOnlyTheFirstAddressAndButtonsFollowThePage) {
    EXPECT_EQ(onboardingAddressHint({}), "");
    EXPECT_EQ(onboardingAddressHint({"192.168.1.20", "10.0.0.5"}),
              "Kein Computer zu sehen? In Tilvara die IP-Adresse <b>192.168.1.20</b> eingeben.");
    const std::pair<std::string, std::string> buttons[] = {
        {"Überspringen", "Weiter"}, {"Zurück", "Weiter"}, {"Zurück", "Weiter"}, {"Zurück", "Los geht’s"}};
    ASSERT_EQ(onboardingPages().size(), std::size(buttons));
    for (int page = 0; page < 4; ++page) {
        EXPECT_EQ(std::make_pair(onboardingBackTitle(page), onboardingNextTitle(page)), buttons[page])
            << page;
    }
}

}  // namespace
}  // namespace kelvora
