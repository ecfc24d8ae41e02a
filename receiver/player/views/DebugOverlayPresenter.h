#pragma once

#include <optional>
#include <string>
#include <vector>

#include "receiver/session/PlaybackStatistics.h"
#include "receiver/session/presenters/ColorToken.h"

namespace kelvora {

// One labelled line of the debug overlay; a row without a colour is drawn white.
struct DebugOverlayRow {
    std::string label;
    std::string value;
    std::optional<ColorToken> color;

    bool operator==(const DebugOverlayRow&) const = default;
};

// Everything the overlay shows for one statistics snapshot: the header, the thirteen rows and whether the
// local clock runs beside them (only while the sender shows its test picture, so that a photo of both gives
// the glass-to-glass latency).
struct DebugOverlayContent {
    std::string header;
    bool showsSyncBadge = false;
    std::vector<DebugOverlayRow> rows;
    bool showsClock = false;
};

DebugOverlayContent debugOverlayContent(const PlaybackStatistics& statistics);

// Traffic light of a latency median: green below 80 ms, yellow below 150 ms, red from there; none without a
// sample.
std::optional<ColorToken> latencyColor(std::optional<double> latencyMs);

}  // namespace kelvora
