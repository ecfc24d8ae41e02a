#pragma once

#include <optional>
#include <string>

#include "app/presenters/StatusColor.h"
#include "receiver/player/PlayerState.h"
#include "receiver/session/PlaybackStatistics.h"

namespace kelvora {

// The connection pill at the player's top left.
struct StatusPillText {
    ColorToken dot = ColorToken::gray;
    std::string title;
    // The second line; none for states that have none (playing always has one, possibly empty).
    std::optional<std::string> detail;

    bool operator==(const StatusPillText&) const = default;
};

// The panel in the middle of the screen while nothing plays.
struct StatusPlaceholderText {
    std::string symbol;
    bool pulses = false;
    std::string title;
    // Always present, empty where a state has no explanation.
    std::string subtitle;
    // The "Sender wählen" button that opens the picker.
    bool showsChooseButton = false;

    bool operator==(const StatusPlaceholderText&) const = default;
};

// During playback the detail names the engine and, once measured, the latency ("Nativ TCP · 24 ms").
StatusPillText statusPill(const PlayerState& state, const PlaybackStatistics& statistics);
StatusPlaceholderText statusPlaceholder(const PlayerState& state, bool hasSenders);

}  // namespace kelvora
