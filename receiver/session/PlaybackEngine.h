#pragma once

#include "core/ControlRecords.h"
#include "core/EngineKind.h"
#include "receiver/session/PlaybackEngineContext.h"

namespace kelvora {

// One way of receiving a session's media: on the control connection itself (TCP) or on streams beside it
// (QUIC). The receiver session makes one from PlaybackEngineRegistry when the welcome arrives, starts it at
// once, passes it every engine signal from the sender, asks it on every orderer poll how many frames are
// still under way, and stops it once when the session ends. Every member is called on the session queue;
// an engine is never shared between sessions.
class PlaybackEngine {
  public:
    virtual ~PlaybackEngine() = default;

    // The transport this engine serves ("tcp", "quic").
    virtual EngineKind kind() const = 0;
    // Begins receiving media for the session that `context` describes. May throw (an exception with a
    // readable what()); the session then ends with that error.
    virtual void start(const PlaybackEngineContext& context) = 0;
    // Engine signalling that arrived on the control connection, whatever engine it names: the engine
    // filters.
    virtual void handle(const EngineSignalMessage& signal) = 0;
    // Frames known to be still on their way. While above 0 the frame orderers allow their longer transfer
    // wait before giving up on a gap.
    virtual int framesInFlight() const = 0;
    // Whether a tier's frames arrive in the order the sender sent them, so that a missing one never comes
    // later.
    virtual bool deliversInOrder() const = 0;
    // Ends all media reception; afterwards the engine opens nothing new and never calls its output again.
    virtual void stop() = 0;
};

}  // namespace kelvora
