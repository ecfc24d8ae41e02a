#pragma once

#include <string_view>

#include "sender/pipeline/SenderStatus.h"

namespace kelvora {

// The named colours a presenter can hand a view. The theme gives each its light and dark value; a
// presenter only ever names one.
enum class ColorToken { gray, orange, red, liveRed, green, blue, purple, yellow };

// The token's name as the theme knows it ("liveRed").
std::string_view colorTokenName(ColorToken token);

// The colour of an output's state in every status display: gray while paused whatever the state, otherwise
// gray while waiting for a source or paused, orange while starting or without signal, the live red while
// live and red on an error.
ColorToken statusColor(bool isPaused, SenderStatus::State::Kind state);

}  // namespace kelvora
