#include "app/shell/ShellPresenters.h"

#include "app/developer/DashboardPresenters.h"
#include "receiver/session/presenters/NumberText.h"

namespace kelvora {

namespace {

constexpr int kMaximumExtraOutputs = 3;
constexpr const char* kDash = "–";

std::string escapeRichText(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string_view traySymbol(bool isPaused, const SenderStatus& status) {
    if (isPaused) {
        return "pause.circle";
    }
    switch (status.state.kind()) {
        case SenderStatus::State::Kind::waitingForSource:
            return "antenna.radiowaves.left.and.right.slash";
        case SenderStatus::State::Kind::starting:
        case SenderStatus::State::Kind::noSignal:
            return "dot.radiowaves.left.and.right";
        case SenderStatus::State::Kind::live:
            return status.clients.empty() ? "dot.radiowaves.left.and.right" : "dot.radiowaves.up.forward";
        case SenderStatus::State::Kind::paused:
            return "pause.circle";
        case SenderStatus::State::Kind::error:
            return "exclamationmark.triangle";
    }
    return "exclamationmark.triangle";
}

std::string trayTooltip(const std::string& statusTitle) {
    return "Tilvara Sender: " + statusTitle;
}

bool trayShowsPicture(bool isPaused, const SenderStatus& status) {
    return status.isLive() && !isPaused;
}

std::vector<TrayFigure> trayFigures(const SenderStatus& status, bool developerMode) {
    std::vector<TrayFigure> figures;
    figures.push_back({"Gerät", status.sourceName.empty() ? kDash : status.sourceName});
    figures.push_back({"Format", status.isLive() ? status.dimensions.description() + " · " +
                                                       fixedText(status.measuredFrameRate, 0) + " fps · " +
                                                       (status.codec == VideoCodec::hevc ? "HEVC" : "H.264")
                                                 : kDash});
    if (developerMode) {
        figures.push_back({"Bitrate", status.isLive() ? megabitText(status.outputKbps) + " Mbit/s (Ziel " +
                                                            megabitText(status.mainBitrateKbps()) + ")"
                                                      : kDash});
    }
    std::string viewers;
    for (const ClientStatus& client : status.clients) {
        viewers += (viewers.empty() ? "" : ", ") + client.name;
    }
    figures.push_back({"Geräte", viewers.empty() ? "keine" : viewers});
    if (developerMode) {
        std::string engines;
        for (const EngineStatus& engine : status.engines) {
            if (engine.isEnabled) {
                engines += (engines.empty() ? "" : ", ") + engine.kind.description();
            }
        }
        figures.push_back({"Engines", engines});
    }
    return figures;
}

std::vector<TrayRow> trayRows(const TrayRowInputs& inputs) {
    std::vector<TrayRow> rows;
    rows.push_back({TrayAction::openWindow, "Fenster öffnen", "macwindow"});
    rows.push_back({TrayAction::togglePause, inputs.isPaused ? "Stream fortsetzen" : "Stream pausieren",
                    inputs.isPaused ? "play.fill" : "pause.fill"});
    if (inputs.developerMode) {
        rows.push_back({TrayAction::testPicture,
                        inputs.useTestPattern ? "Testbild beenden" : "Testbild senden", "testtube.2"});
        rows.push_back({TrayAction::sampleVideo,
                        inputs.isUsingSampleVideo       ? "Beispielvideo beenden"
                        : inputs.isPreparingSampleVideo ? "Beispielvideo wird erzeugt …"
                                                        : "Beispielvideo senden",
                        "film.stack"});
    }
    rows.push_back({TrayAction::quit, "Tilvara Sender beenden", "power"});
    return rows;
}

ToolbarPause toolbarPause(bool isPaused) {
    if (isPaused) {
        return {"Fortsetzen", "play.fill", "Senden fortsetzen"};
    }
    return {"Pausieren", "pause.fill", "Senden anhalten"};
}

bool canAddSource(int extraOutputCount) {
    return extraOutputCount + 1 <= kMaximumExtraOutputs;
}

std::string addSourceHelp() {
    return "Weitere Kamera, Capture-Karte oder NDI®-Quelle als eigenen Stream senden (bis zu " +
           std::to_string(kMaximumExtraOutputs + 1) +
           "). Auf dem iPhone erscheint jede Quelle unter ihrem Namen.";
}

const std::vector<OnboardingPage>& onboardingPages() {
    static const std::vector<OnboardingPage> pages{
        {"",
         {},
         "Willkommen beim Tilvara Sender",
         "Diese App schickt das Bild deines Computers per WLAN an Tilvara auf iPhone und iPad – mit so wenig "
         "Verzögerung, dass du danach Regie führen kannst."},
        {"cable.connector.horizontal",
         {"#2ee08a", "#1287ff"},
         "Quelle anschließen",
         "Schließe einen ATEM per USB, eine Capture-Karte oder eine Kamera an – oder wähle eine NDI®-Quelle "
         "aus "
         "dem Netz. Die App erkennt Auflösung und Bildrate selbst und sendet sofort."},
        {"iphone.gen3.radiowaves.left.and.right",
         {"#1287ff", "#8c4df2"},
         "Auf dem iPhone ansehen",
         "Öffne Tilvara auf iPhone oder iPad im selben WLAN. Dieser Computer erscheint dort automatisch. Die "
         "Bildqualität passt sich jedem Gerät und seinem WLAN von selbst an."},
        {"menubar.arrow.up.rectangle",
         {"#ff9933", "#f5473b"},
         "Läuft im Hintergrund",
         "Fenster schließen beendet nichts: Der Sender läuft über das Symbol im Statusbereich der Leiste "
         "weiter und "
         "startet "
         "auf Wunsch beim Anmelden. Bis zu vier Quellen lassen sich als eigene Streams senden."},
    };
    return pages;
}

OnboardingSourceLine onboardingSourceLine(const SenderStatus& status) {
    if (status.isLive()) {
        return {true, "checkmark.circle.fill",
                "Erkannt: " + status.sourceName + " · " + status.dimensions.label() + " · " +
                    fixedText(status.measuredFrameRate, 0) + " fps"};
    }
    return {false, "hourglass", "Noch keine Quelle erkannt – einfach anschließen."};
}

std::string onboardingAddressHint(const std::vector<std::string>& addresses) {
    if (addresses.empty()) {
        return {};
    }
    return "Kein Computer zu sehen? In Tilvara die IP-Adresse <b>" + escapeRichText(addresses.front()) +
           "</b> eingeben.";
}

std::string onboardingBackTitle(int page) {
    return page == 0 ? "Überspringen" : "Zurück";
}

std::string onboardingNextTitle(int page) {
    return page >= static_cast<int>(onboardingPages().size()) - 1 ? "Los geht’s" : "Weiter";
}

std::string trimmedName(std::string_view typed) {
    const auto first = typed.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = typed.find_last_not_of(" \t");
    return std::string(typed.substr(first, last - first + 1));
}

std::string studioModeFooter(bool studioMode) {
    if (studioMode) {
        return "Studio: jedes Bild einzeln in hoher Qualität (wie NDI® mit voller Bandbreite) – für "
               "Kabel-LAN oder "
               "sehr gutes WLAN. Geräte mit schwächerer Verbindung bekommen automatisch das WLAN-Bild.";
    }
    return "WLAN: Die Qualität passt sich der Verbindung jedes Geräts automatisch an. Für fast alle Fälle "
           "die "
           "richtige Wahl.";
}

}  // namespace kelvora
