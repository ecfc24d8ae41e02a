#pragma once

#include "receiver/session/presenters/ColorToken.h"
#include "sender/pipeline/SenderStatus.h"

namespace kelvora {

// The colour of an output's state in every status display: gray while paused whatever the state, otherwise
// gray while waiting for a source or paused, orange while starting or without signal, the live red while
// live and red on an error.
ColorToken statusColor(bool isPaused, SenderStatus::State::Kind state);

}  // namespace kelvora
