#pragma once

#include "core/ControlMessage.h"

namespace kelvora {

// An engine's way back to the sender: messages go out on the session's control connection, on the session
// queue. Once the session or its control connection is gone, sending does nothing.
class PlaybackControlChannel {
  public:
    virtual ~PlaybackControlChannel() = default;

    virtual void send(ControlMessage message) = 0;
};

}  // namespace kelvora
