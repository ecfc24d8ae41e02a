#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/EngineKind.h"
#include "receiver/session/PlaybackEngine.h"

namespace kelvora {

// The playback engines this process knows, in order: a kind and a factory each. The list is made on first
// use with "tcp" (NativeTCPPlaybackEngine) and then "quic". Each factory call makes a fresh engine.
//
// Threads: every member may be called from any thread (the player reads the kinds on its thread, a session
// makes its engine on its queue). The mutex covers the list only, never a factory call.
class PlaybackEngineRegistry {
  public:
    using Factory = std::function<std::shared_ptr<PlaybackEngine>()>;

    PlaybackEngineRegistry() = delete;

    // Replaces any entry of `kind` and puts the new one at the end of the list.
    static void registerEngine(EngineKind kind, Factory factory);
    // The kinds of all entries, in list order.
    static std::vector<EngineKind> availableKinds();
    // A new engine of the first entry of `kind`; null when there is none.
    static std::shared_ptr<PlaybackEngine> makeEngine(const EngineKind& kind);
};

}  // namespace kelvora
