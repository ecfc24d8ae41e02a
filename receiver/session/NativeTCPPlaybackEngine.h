#pragma once

#include "receiver/session/PlaybackEngine.h"

namespace kelvora {

// The engine for media on the control connection itself: the sender sends video-frame messages there and
// the session reads them from its own message handling, so there is nothing for this engine to open, and
// no frame is ever overtaken on the way.
class NativeTCPPlaybackEngine final : public PlaybackEngine {
  public:
    EngineKind kind() const override { return EngineKind::tcp(); }
    void start(const PlaybackEngineContext&) override {}
    void handle(const EngineSignalMessage&) override {}
    int framesInFlight() const override { return 0; }
    bool deliversInOrder() const override { return true; }
    void stop() override {}
};

}  // namespace kelvora
