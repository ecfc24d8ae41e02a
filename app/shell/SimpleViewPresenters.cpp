#include "app/shell/SimpleViewPresenters.h"

#include <algorithm>
#include <cctype>

#include "app/model/StatusText.h"
#include "core/KelvoraService.h"
#include "receiver/session/presenters/NumberText.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/sources/NDIVideoSource.h"

namespace kelvora {
namespace {

using Kind = SenderStatus::State::Kind;

// The overlay's share of a face: what only depends on the status and whether the picture is on screen.
void fillOverlay(TileFace& face, const SenderStatus& status) {
    face.placeholderSymbol = placeholderSymbol(status.state.kind(), face.showsVideo);
    face.badgePulses = status.isLive() && face.showsVideo;
    face.showsBlackChip = face.showsVideo && status.sourceIsBlack;
    if (!status.clients.empty()) {
        face.viewerCount = std::to_string(status.clients.size());
        face.viewerHelp = face.viewerCount + " Gerät(e) schauen zu";
    }
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void addGroup(std::vector<SourceMenuEntry>& entries, std::vector<SourceMenuEntry> group) {
    if (group.empty()) {
        return;
    }
    entries.push_back(SourceMenuEntry{true, {}, {}, {}});
    entries.insert(entries.end(), std::make_move_iterator(group.begin()),
                   std::make_move_iterator(group.end()));
}

SourceMenuEntry entry(std::string title, std::string symbol, std::optional<std::string> id) {
    return SourceMenuEntry{false, std::move(title), std::move(symbol), std::move(id)};
}

}  // namespace

std::string_view placeholderSymbol(Kind state, bool showsVideo) {
    switch (state) {
        case Kind::waitingForSource:
            return "cable.connector.slash";
        case Kind::starting:
            return "hourglass";
        case Kind::noSignal:
        case Kind::live:
            return showsVideo ? "video" : "video.slash";
        case Kind::paused:
            return "pause.circle";
        case Kind::error:
            return "exclamationmark.triangle";
    }
    return "exclamationmark.triangle";
}

TileFace mainTileFace(const MainTileState& state) {
    TileFace face;
    const Kind kind = state.status.state.kind();
    face.title = statusTitle(state.status, state.isPaused, state.isMainSourcePaused);
    face.detail = statusDetail(state.status, state.camera);
    face.color = statusColor(state.isPaused, kind);
    face.showsVideo =
        (state.status.isLive() || kind == Kind::noSignal) && !state.isPaused && !state.isMainSourcePaused;
    if (state.camera == CameraAuthorization::denied || state.camera == CameraAuthorization::restricted) {
        face.action = PlaceholderAction::allowCamera;
    } else if (state.isPaused) {
        face.action = PlaceholderAction::resumeAll;
    } else if (state.isMainSourcePaused) {
        face.action = PlaceholderAction::resumeMainSource;
    }
    fillOverlay(face, state.status);
    return face;
}

TileFace extraTileFace(const ExtraTileState& state) {
    TileFace face;
    const bool paused = state.isPaused || state.isSourcePaused;
    const bool hasSource = state.settings && state.settings->sourceID;
    const bool live = state.status.isLive();
    const bool failed = state.status.state.kind() == Kind::error;
    face.showsVideo = live && !paused;
    if (paused) {
        face.title = "Pausiert";
        face.detail = "Diese Quelle ist angehalten";
    } else if (!hasSource) {
        face.title = "Keine Quelle";
        face.detail = "Darunter eine Quelle wählen";
    } else if (live) {
        face.title = "Live";
        face.detail = state.status.sourceName;
        face.color = ColorToken::liveRed;
    } else if (failed) {
        face.title = "Fehler";
        face.detail = state.status.state.message();
        face.color = ColorToken::red;
    } else {
        face.title = "Startet …";
        face.detail = state.status.sourceName;
    }
    if (state.isSourcePaused && !state.isPaused) {
        face.action = PlaceholderAction::resumeOutput;
    }
    fillOverlay(face, state.status);
    return face;
}

std::string extraTileName(const std::optional<OutputSettings>& settings, int number) {
    return settings ? settings->name : "Ausgang " + std::to_string(number);
}

std::vector<SourceMenuEntry> sourceMenuEntries(const std::vector<CaptureDeviceInfo>& devices,
                                               const std::vector<NDISourceInfo>& ndiSources,
                                               const std::optional<std::string>& selection,
                                               const std::string& noneTitle, bool deckLinkDriverInstalled) {
    std::vector<SourceMenuEntry> entries{entry(noneTitle, "wand.and.stars", std::nullopt)};

    std::vector<SourceMenuEntry> group;
    for (const CaptureDeviceInfo& device : devices) {
        group.push_back(entry(device.displayName(), device.symbolName(), device.id));
    }
    addGroup(entries, std::move(group));

    const bool cardSeen = std::any_of(devices.begin(), devices.end(), [](const CaptureDeviceInfo& device) {
        return device.connection == CaptureDeviceInfo::Connection::deckLink;
    });
    if (deckLinkDriverInstalled && !cardSeen) {
        addGroup(entries, {entry("DeckLink/UltraStudio (Thunderbolt) einrichten …",
                                 "rectangle.connected.to.line.below", std::string(kDeckLinkSetupID))});
    }

    group.clear();
    for (const NDISourceInfo& source : ndiSources) {
        group.push_back(
            entry("NDI®: " + source.sourceName() + " – " + source.machineName(), "network", source.id()));
    }
    addGroup(entries, std::move(group));

    if (selection && selectedSourceEntry(entries, selection) < 0) {
        std::string title = "Gemerktes Gerät (nicht angeschlossen)";
        if (auto name = NDIVideoSource::ndiName(*selection)) {
            title = "NDI®: " + *name + " (nicht im Netz)";
        } else if (*selection == kTestPatternID) {
            title = "Testbild";
        }
        addGroup(entries, {entry(std::move(title), "cable.connector.slash", selection)});
    }
    return entries;
}

int selectedSourceEntry(const std::vector<SourceMenuEntry>& entries,
                        const std::optional<std::string>& selection) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].isDivider && entries[i].id == selection) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::optional<std::string> formatChipText(const SenderStatus& status, bool isPaused) {
    if (!status.isLive() || isPaused) {
        return std::nullopt;
    }
    return status.dimensions.label() + " · " + fixedText(status.measuredFrameRate, 0) + " fps";
}

IconButton pauseButton(bool isPaused) {
    if (isPaused) {
        return {"play.fill", "Diese Quelle fortsetzen"};
    }
    return {"pause.fill", "Diese Quelle anhalten (die anderen laufen weiter)"};
}

std::vector<std::string> resolutionPickerTitles() {
    std::vector<std::string> titles{"Wie Quelle"};
    for (const VideoDimensions& choice : SenderSettings::resolutionChoices()) {
        titles.push_back(choice.label());
    }
    return titles;
}

std::vector<std::string> frameRatePickerTitles() {
    std::vector<std::string> titles{"Wie Quelle"};
    for (int choice : SenderSettings::frameRateChoices()) {
        titles.push_back(std::to_string(choice) + " fps");
    }
    return titles;
}

namespace {

template <class T>
int pickerIndex(const std::vector<T>& choices, const std::optional<T>& value) {
    if (!value) {
        return 0;
    }
    const auto found = std::find(choices.begin(), choices.end(), *value);
    return found == choices.end() ? -1 : static_cast<int>(found - choices.begin()) + 1;
}

template <class T>
std::optional<T> pickerValue(const std::vector<T>& choices, int index) {
    if (index < 1 || index > static_cast<int>(choices.size())) {
        return std::nullopt;
    }
    return choices[static_cast<size_t>(index - 1)];
}

}  // namespace

int resolutionPickerIndex(const std::optional<VideoDimensions>& value) {
    return pickerIndex(SenderSettings::resolutionChoices(), value);
}

int frameRatePickerIndex(const std::optional<int>& value) {
    return pickerIndex(SenderSettings::frameRateChoices(), value);
}

std::optional<VideoDimensions> resolutionPickerValue(int index) {
    return pickerValue(SenderSettings::resolutionChoices(), index);
}

std::optional<int> frameRatePickerValue(int index) {
    return pickerValue(SenderSettings::frameRateChoices(), index);
}

ReceiverRow receiverRow(const ClientStatus& client, const std::string& output, bool hasExtraOutputs,
                        bool studioMode) {
    ReceiverRow row;
    row.id = client.id;
    row.name = client.name;
    const std::string model = lowercase(client.deviceModel);
    row.symbol = model.find("ipad") != std::string::npos  ? "ipad"
                 : model.find("mac") != std::string::npos ? "laptopcomputer"
                                                          : "iphone";
    if (!hasExtraOutputs) {
        row.detail = client.isMediaConnected ? "verbunden" : "verbindet …";
    } else {
        row.detail = "schaut „" + output + "“";
    }
    if (client.isBridging) {
        row.quality = "kurz reduziert";
    } else if (client.tier == 1) {
        row.quality = "Mittlere Qualität";
    } else if (client.tier == 0) {
        row.quality = studioMode ? "Studio-Qualität" : "Volle Qualität";
    } else {
        row.quality = "Sparmodus";
    }
    row.qualityColor = client.tier == 0 && !client.isBridging ? ColorToken::green : ColorToken::orange;
    // NaN compares false with everything, so it lands with the missing measurement.
    if (!(client.latencyMs >= 0)) {
        row.latency = "–";
        row.latencyColor = ColorToken::gray;
    } else {
        row.latency = fixedText(client.latencyMs, 0) + " ms";
        row.latencyColor = client.latencyMs < 80    ? ColorToken::green
                           : client.latencyMs < 150 ? ColorToken::orange
                                                    : ColorToken::red;
    }
    return row;
}

std::vector<ReceiverRow> receiverRows(const std::vector<std::pair<ClientStatus, std::string>>& receivers,
                                      bool hasExtraOutputs, bool studioMode) {
    std::vector<ReceiverRow> rows;
    rows.reserve(receivers.size());
    for (const auto& [client, output] : receivers) {
        rows.push_back(receiverRow(client, output, hasExtraOutputs, studioMode));
    }
    return rows;
}

std::string receiverCountText(size_t count) {
    return count == 0 ? std::string() : std::to_string(count);
}

std::optional<std::string> connectionAddressText(const std::vector<std::string>& addresses,
                                                 std::optional<uint16_t> controlPort) {
    if (addresses.empty()) {
        return std::nullopt;
    }
    if (controlPort && *controlPort != KelvoraService::defaultPort) {
        return addresses.front() + ":" + std::to_string(*controlPort);
    }
    return addresses.front();
}

std::string linkHostLabel(std::string_view url) {
    if (const auto scheme = url.find("://"); scheme != std::string_view::npos) {
        url.remove_prefix(scheme + 3);
    }
    return std::string(url.substr(0, url.find_first_of("/:?#")));
}

}  // namespace kelvora
