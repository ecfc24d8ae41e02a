#include "app/developer/SettingsFormPresenters.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "receiver/session/presenters/NumberText.h"
#include "sender/sources/NDIRuntime.h"
#include "sender/sources/NDIVideoSource.h"

namespace kelvora {
namespace {

constexpr int kDefaultControlPort = 47810;

template <class T>
std::optional<size_t> indexOf(const std::vector<T>& values, const T& value) {
    const auto found = std::find(values.begin(), values.end(), value);
    if (found == values.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(found - values.begin());
}

// Options behind "Wie Quelle" / "Auto" (index 0) and one entry per value.
template <class T>
std::optional<T> optionalOption(const std::vector<T>& values, size_t index) {
    if (index == 0 || index > values.size()) {
        return std::nullopt;
    }
    return values[index - 1];
}

template <class T>
std::optional<size_t> optionalSelection(bool automatic, const std::vector<T>& values, const T& value) {
    if (automatic) {
        return 0;
    }
    const auto found = indexOf(values, value);
    return found ? std::optional<size_t>(*found + 1) : std::nullopt;
}

const std::vector<int>& maximumFrameRates() {
    static const std::vector<int> values{25, 30};
    return values;
}

const std::vector<int>& studioBitrates() {
    static const std::vector<int> values{40000, 80000, 150000};
    return values;
}

const std::vector<double>& keyframeIntervals() {
    static const std::vector<double> values{1.0, 2.0, 4.0};
    return values;
}

// The UTF-8 forms of the tab and the Unicode space separators.
constexpr std::array<std::string_view, 18> kSpaces = {
    "\t",     " ",      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
    "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000",
};

size_t spaceAtFront(std::string_view text) {
    for (std::string_view space : kSpaces) {
        if (text.starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

size_t spaceAtBack(std::string_view text) {
    for (std::string_view space : kSpaces) {
        if (text.ends_with(space)) {
            return space.size();
        }
    }
    return 0;
}

std::string hostOf(std::string_view url) {
    if (const auto scheme = url.find("://"); scheme != std::string_view::npos) {
        url.remove_prefix(scheme + 3);
    }
    return std::string(url.substr(0, url.find_first_of("/:?#")));
}

}  // namespace

SourceChoice currentSourceChoice(const SenderSettings& settings, bool usingSampleVideo) {
    using Kind = SourceChoice::Kind;
    if (settings.useTestPattern) {
        return {Kind::testPattern, {}};
    }
    if (settings.useVideoFile) {
        return {usingSampleVideo ? Kind::sampleVideo : Kind::videoFile, {}};
    }
    if (!settings.preferredDeviceID) {
        return {Kind::automatic, {}};
    }
    if (auto name = NDIVideoSource::ndiName(*settings.preferredDeviceID)) {
        return {Kind::ndi, *name};
    }
    return {Kind::device, *settings.preferredDeviceID};
}

std::vector<SourceRow> sourceRows(const SourceSectionState& state) {
    using Kind = SourceChoice::Kind;
    std::vector<SourceRow> rows;
    rows.push_back({"Automatisch", "wand.and.stars", {Kind::automatic, {}}});
    for (const auto& device : state.devices) {
        rows.push_back({device.displayName(), device.symbolName(), {Kind::device, device.id}});
    }
    const auto& remembered = state.settings.preferredDeviceID;
    const auto rememberedNDI = remembered ? NDIVideoSource::ndiName(*remembered) : std::nullopt;
    if (remembered && !rememberedNDI &&
        std::none_of(state.devices.begin(), state.devices.end(),
                     [&](const CaptureDeviceInfo& device) { return device.id == *remembered; })) {
        rows.push_back(
            {"Gemerktes Gerät (nicht angeschlossen)", "cable.connector.slash", {Kind::device, *remembered}});
    }
    for (const auto& source : state.ndiSources) {
        rows.push_back({"NDI®: " + source.sourceName() + " – " + source.machineName(),
                        "network",
                        {Kind::ndi, source.name}});
    }
    if (rememberedNDI &&
        std::none_of(state.ndiSources.begin(), state.ndiSources.end(),
                     [&](const NDISourceInfo& source) { return source.name == *rememberedNDI; })) {
        rows.push_back(
            {"NDI®: " + *rememberedNDI + " (nicht im Netz)", "network.slash", {Kind::ndi, *rememberedNDI}});
    }
    rows.push_back({"Testbild (mit Uhr)", "testtube.2", {Kind::testPattern, {}}});
    rows.push_back({state.isPreparingSampleVideo ? "Beispielvideo (wird erzeugt …)" : "Beispielvideo",
                    "film.stack",
                    {Kind::sampleVideo, {}}});
    const bool ownFile = state.settings.useVideoFile && !state.isUsingSampleVideo;
    rows.push_back({ownFile ? "Videodatei: " + state.videoFileDisplayName.value_or("") : "Videodatei …",
                    "film",
                    {Kind::videoFile, {}}});
    return rows;
}

std::optional<size_t> selectedSourceRow(const std::vector<SourceRow>& rows, const SourceChoice& current) {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [&](const SourceRow& row) { return row.choice == current; });
    if (found == rows.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(found - rows.begin());
}

bool showsOtherFileButton(const SourceSectionState& state) {
    return state.settings.useVideoFile && !state.isUsingSampleVideo;
}

std::string reconnectHelp(bool autoSourceRecovery) {
    std::string help =
        "Öffnet die Quelle neu. Hilft, wenn eine Capture-Karte oder ein ATEM per USB nur Schwarz oder ein "
        "Standbild liefert.";
    if (autoSourceRecovery) {
        help += " Bei reinem Schwarzbild versucht die App das auch selbst (nach 3 s, dann seltener).";
    }
    return help;
}

SourceFooter sourceFooter(bool isNDIAvailable) {
    SourceFooter footer;
    footer.automatic =
        "„Automatisch“ nimmt das erste angeschlossene externe Gerät (Capture-Karte, USB-Kamera). Ein "
        "gewähltes "
        "Gerät wird gemerkt und bevorzugt, sobald es angeschlossen ist.";
    if (isNDIAvailable) {
        footer.ndi = "NDI®-Quellen im Netz werden empfangen und über Tilvara weitergeschickt.";
        footer.ndiLink = NDIRuntime::kVendorWebsite;
        footer.ndiLinkHost = hostOf(footer.ndiLink);
        footer.trademark = NDIRuntime::kTrademarkNotice;
    } else {
        footer.ndi = "NDI®-Quellen: NDI ist auf diesem Computer nicht verfügbar.";
    }
    return footer;
}

// --- picture ---

Picker resolutionPicker(const SenderSettings& settings) {
    Picker picker{{"Wie Quelle"}, {}};
    for (const auto& choice : SenderSettings::resolutionChoices()) {
        picker.options.push_back(choice.label() + " (" + choice.description() + ")");
    }
    picker.selected =
        optionalSelection(settings.autoResolution, SenderSettings::resolutionChoices(), settings.resolution);
    return picker;
}

Picker frameRatePicker(const SenderSettings& settings) {
    Picker picker{{"Auto"}, {}};
    for (int choice : SenderSettings::frameRateChoices()) {
        picker.options.push_back(std::to_string(choice));
    }
    picker.selected =
        optionalSelection(settings.autoFrameRate, SenderSettings::frameRateChoices(), settings.frameRate);
    return picker;
}

Picker maximumFrameRatePicker(const SenderSettings& settings) {
    return {{"Wie Quelle", "25 fps", "30 fps"},
            optionalSelection(!settings.maximumFrameRate, maximumFrameRates(),
                              settings.maximumFrameRate.value_or(0))};
}

Picker codecPicker(const SenderSettings& settings) {
    return {{"HEVC", "H.264"}, settings.preferredCodec == VideoCodec::hevc ? 0u : 1u};
}

Picker qualityPicker(const SenderSettings& settings) {
    return {{"Komprimiert (WLAN)", "Studio (LAN)"}, settings.studioMode ? 1u : 0u};
}

std::optional<VideoDimensions> resolutionOption(size_t index) {
    return optionalOption(SenderSettings::resolutionChoices(), index);
}

std::optional<int> frameRateOption(size_t index) {
    return optionalOption(SenderSettings::frameRateChoices(), index);
}

std::optional<int> maximumFrameRateOption(size_t index) {
    return optionalOption(maximumFrameRates(), index);
}

VideoCodec codecOption(size_t index) {
    return index == 0 ? VideoCodec::hevc : VideoCodec::h264;
}

bool qualityOption(size_t index) {
    return index == 1;
}

std::string formatSummary(const SenderSettings& settings, const SenderStatus& status) {
    std::string text = "Gesendet wird " + status.dimensions.description() + " mit " +
                       std::to_string(status.configuredFrameRate) + " fps";
    if (settings.automaticBitrate) {
        const int kbps = status.mainBitrateKbps();
        text += ", höchstens " + fixedText(kbps / 1000.0, kbps > 9999 ? 0 : 1) + " Mbit/s";
    }
    text += ". Die Bitrate passt sich automatisch an Auflösung, Bildrate und Verbindung an.";
    if (!status.hevcHardwareAvailable) {
        text += " Dieser Computer kann HEVC nicht in Hardware encodieren – es wird H.264 verwendet.";
    }
    return text;
}

// --- developer ---

BitrateControl bitrateControl(const SenderSettings& settings) {
    if (settings.automaticBitrate) {
        return BitrateControl::none;
    }
    return settings.studioMode ? BitrateControl::studioPicker : BitrateControl::stepper;
}

Picker studioBitratePicker(const SenderSettings& settings) {
    return {{"40", "80", "150 Mbit/s"}, indexOf(studioBitrates(), settings.studioBitrateKbps)};
}

int studioBitrateOption(size_t index) {
    return studioBitrates().at(std::min(index, studioBitrates().size() - 1));
}

Picker keyframeIntervalPicker(const SenderSettings& settings) {
    return {{"1 s", "2 s", "4 s"}, indexOf(keyframeIntervals(), settings.keyframeInterval)};
}

double keyframeIntervalOption(size_t index) {
    return keyframeIntervals().at(std::min(index, keyframeIntervals().size() - 1));
}

std::string bitrateStepperLabel(int bitrateKbps) {
    return "Höchstbitrate " + std::to_string(bitrateKbps / 1000) + " Mbit/s";
}

DeveloperToggles developerToggles(const SenderSettings& settings) {
    return {settings.adaptiveBitrate, settings.adaptiveBitrate && settings.proxyStream};
}

std::vector<EngineRow> engineRows(const SenderStatus& status) {
    std::vector<EngineRow> rows;
    for (const auto& engine : status.engines) {
        EngineRow row;
        row.kind = engine.kind.rawValue;
        row.title = "Übertragung: " + engine.kind.description();
        row.clientCount = std::max(engine.clientCount, 0);
        row.detail = engine.isAvailable ? engine.detail : "nicht verfügbar: " + engine.detail;
        row.isOn = engine.isEnabled;
        row.isSwitchable = engine.isAvailable && engine.kind != EngineKind::tcp();
        rows.push_back(std::move(row));
    }
    return rows;
}

// --- info ---

std::string controlPortText(const SenderStatus& status) {
    return status.controlPort ? std::to_string(*status.controlPort) : "–";
}

std::vector<std::string> addressTexts(const std::vector<std::string>& addresses, const SenderStatus& status) {
    const bool withPort = status.controlPort && *status.controlPort != kDefaultControlPort;
    std::vector<std::string> texts;
    for (const auto& address : addresses) {
        texts.push_back(withPort ? address + ":" + std::to_string(*status.controlPort) : address);
    }
    return texts;
}

std::string hevcHardwareText(const SenderStatus& status) {
    return status.hevcHardwareAvailable ? "Ja" : "Nein";
}

std::string committedSenderName(const std::string& typed) {
    std::string_view text = typed;
    while (const size_t n = spaceAtFront(text)) {
        text.remove_prefix(n);
    }
    while (const size_t n = spaceAtBack(text)) {
        text.remove_suffix(n);
    }
    return std::string(text);
}

}  // namespace kelvora
