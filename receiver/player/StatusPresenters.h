#pragma once

#include <exception>
#include <optional>
#include <string>

#include "receiver/player/PlayerState.h"
#include "receiver/session/PlaybackStatistics.h"
#include "receiver/session/presenters/ColorToken.h"

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

// Why a session ended, as the reconnecting state carries it: a German sentence for the viewer, and the
// error's own text (the system's, the transport's or the decoder's) for the log, empty where the sentence is
// all there is.
struct EndReasonText {
    std::string text;
    std::string systemText;

    // The sentence with the system's words behind it in brackets, where there are any: for logs and for
    // programs that print why a session ended.
    std::string withSystemText() const { return systemText.empty() ? text : text + " (" + systemText + ")"; }

    bool operator==(const EndReasonText&) const = default;
};

// During playback the detail names the engine and, once measured, the latency ("Nativ TCP · 24 ms").
StatusPillText statusPill(const PlayerState& state, const PlaybackStatistics& statistics);
StatusPlaceholderText statusPlaceholder(const PlayerState& state, bool hasSenders);
// "Verbindung beendet" without an error.
EndReasonText endReason(const std::exception_ptr& error);

}  // namespace kelvora
