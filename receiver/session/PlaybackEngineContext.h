#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/ControlRecords.h"
#include "platform/SerialQueue.h"
#include "receiver/session/PlaybackControlChannel.h"
#include "receiver/session/PlaybackOutput.h"

namespace kelvora {

// What a playback engine gets when it starts: the sender's welcome (session token, engine parameters such
// as "quicPort" and "quicFingerprint", protocol version), where the sender is, the session's queue and the
// two ways to talk to the session.
struct PlaybackEngineContext {
    WelcomeMessage welcome;
    // The sender's host as the control connection reached it (an address text, with any "%scope" kept so
    // that a link-local address stays reachable); none when the session cannot name one.
    std::optional<std::string> senderHost;
    // The session queue: every engine callback runs on it.
    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<PlaybackControlChannel> control;
    // Held weakly: the session owns its engine, so an engine holding the session would keep both alive.
    std::weak_ptr<PlaybackOutput> output;
};

}  // namespace kelvora
