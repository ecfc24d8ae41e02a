#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/model/PlatformServices.h"
#include "app/presenters/StatusColor.h"
#include "sender/pipeline/OutputSettings.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/server/ClientStatus.h"
#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/NDISourceInfo.h"

namespace kelvora {

// What a tile's placeholder offers under its texts.
enum class PlaceholderAction { none, allowCamera, resumeAll, resumeMainSource, resumeOutput };

// Everything a source tile shows that depends on its output's state.
struct TileFace {
    std::string title;
    std::string detail;
    ColorToken color = ColorToken::gray;
    bool showsVideo = false;
    std::string placeholderSymbol;
    PlaceholderAction action = PlaceholderAction::none;
    bool badgePulses = false;
    bool showsBlackChip = false;
    // The viewer-count chip and its help text; empty without viewers.
    std::string viewerCount;
    std::string viewerHelp;

    bool operator==(const TileFace&) const = default;
};

// The main output's state as its tile reads it.
struct MainTileState {
    SenderStatus status;
    bool isPaused = false;
    bool isMainSourcePaused = false;
    CameraAuthorization camera = CameraAuthorization::authorized;
};

// An extra output's state as its tile reads it; `settings` is absent once they vanished.
struct ExtraTileState {
    SenderStatus status;
    bool isPaused = false;
    bool isSourcePaused = false;
    std::optional<OutputSettings> settings;
};

// The symbol of the placeholder; with video on screen a live or signal-less output reads "video".
std::string_view placeholderSymbol(SenderStatus::State::Kind state, bool showsVideo);

TileFace mainTileFace(const MainTileState& state);
// A failed extra output reads "Fehler" with its message in red, as the main tile does, rather than as if
// it were still starting.
TileFace extraTileFace(const ExtraTileState& state);
// The extra tile's name: its stored name, or "Ausgang " and its number once its settings vanished.
std::string extraTileName(const std::optional<OutputSettings>& settings, int number);

// One row of a source menu: an entry with a title and symbol, choosing `id` (none: no source), or the
// divider that stands before a group.
struct SourceMenuEntry {
    bool isDivider = false;
    std::string title;
    std::string symbol;
    std::optional<std::string> id;

    bool operator==(const SourceMenuEntry&) const = default;
};

inline constexpr std::string_view kDeckLinkSetupID = "setup:decklink";
inline constexpr std::string_view kTestPatternID = "testpattern";

// The menu's rows in order: the no-source entry, the capture devices, the capture-card set-up (when its
// driver is installed and no card is seen), the NDI sources and, for a selection none of these lists, one
// entry naming it. Each group after the first has a divider before it.
std::vector<SourceMenuEntry> sourceMenuEntries(const std::vector<CaptureDeviceInfo>& devices,
                                               const std::vector<NDISourceInfo>& ndiSources,
                                               const std::optional<std::string>& selection,
                                               const std::string& noneTitle, bool deckLinkDriverInstalled);
// The row that shows `selection`; the menu always has one.
int selectedSourceEntry(const std::vector<SourceMenuEntry>& entries,
                        const std::optional<std::string>& selection);

// "1080p · 30 fps" while live and not paused; nothing otherwise.
std::optional<std::string> formatChipText(const SenderStatus& status, bool isPaused);

struct IconButton {
    std::string symbol;
    std::string help;
};
IconButton pauseButton(bool isPaused);

// The picker rows: "Wie Quelle" first, then each offered value.
std::vector<std::string> resolutionPickerTitles();
std::vector<std::string> frameRatePickerTitles();
// The row of a stored value: 0 for none; -1 for a value the picker does not offer (it selects nothing).
int resolutionPickerIndex(const std::optional<VideoDimensions>& value);
int frameRatePickerIndex(const std::optional<int>& value);
// The value a row stands for; none for "Wie Quelle" and for a row that does not exist.
std::optional<VideoDimensions> resolutionPickerValue(int index);
std::optional<int> frameRatePickerValue(int index);

// One viewer in the receivers card.
struct ReceiverRow {
    std::string id;
    std::string name;
    std::string symbol;
    std::string detail;
    std::string quality;
    ColorToken qualityColor = ColorToken::orange;
    std::string latency;
    ColorToken latencyColor = ColorToken::gray;

    bool operator==(const ReceiverRow&) const = default;
};

ReceiverRow receiverRow(const ClientStatus& client, const std::string& output, bool hasExtraOutputs,
                        bool studioMode);
std::vector<ReceiverRow> receiverRows(const std::vector<std::pair<ClientStatus, std::string>>& receivers,
                                      bool hasExtraOutputs, bool studioMode);
// The card's trailing text: empty without viewers.
std::string receiverCountText(size_t count);

// What a viewer types in when it does not find the sender: the first address, with the port when it is
// not the default one. Nothing without an address.
std::optional<std::string> connectionAddressText(const std::vector<std::string>& addresses,
                                                 std::optional<uint16_t> controlPort);
// The host of a web address, shown as its link's label.
std::string linkHostLabel(std::string_view url);

}  // namespace kelvora
