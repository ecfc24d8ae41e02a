#pragma once

#include <cstdint>

#include <map>
#include <memory>
#include <string>

#include "core/EngineKind.h"

namespace kelvora {

// The largest message a viewer may send, on its control connection or on a media stream: viewers send only
// small control messages, so anything larger ends the connection at the header.
inline constexpr uint32_t maximumViewerMessageLength = 64 * 1024;

struct EngineSignalMessage;
class SenderSession;
class StreamingEngineContext;

// One way of carrying media to viewers (over the control connection, or over QUIC). The server holds a list
// of engines, starts and stops them with itself, picks one per viewer at hello time and lets it attach that
// viewer's media sink. Every member is called on the server queue. Engines are held and compared by identity.
class StreamingEngine {
  public:
    virtual ~StreamingEngine() = default;

    // Matched by string equality against a hello's engine and an engine signal's engine.
    virtual EngineKind kind() const = 0;
    // Unavailable engines are neither started nor chosen for a hello that asks for them.
    virtual bool isAvailable() const = 0;
    // A short text for the sender's status display.
    virtual std::string statusDetail() const = 0;

    // Called at every server start and restart while available; may throw, which the server logs and leaves
    // the engine in its list.
    virtual void start(const std::shared_ptr<StreamingEngineContext>& context) = 0;
    // Called at every stop and restart, available or not.
    virtual void stop() = 0;

    // Text parameters the viewer needs to reach this engine, placed unchanged in the welcome; may be empty.
    virtual std::map<std::string, std::string> engineParameters(const SenderSession& session) = 0;
    // Called once per session right after its welcome (and stream tuning) were sent; the engine gives the
    // session a media sink now or later.
    virtual void attach(const std::shared_ptr<SenderSession>& session) = 0;
    // A viewer's engine signal addressed to this engine's kind.
    virtual void handleSignal(const EngineSignalMessage& signal,
                              const std::shared_ptr<SenderSession>& session) = 0;
};

}  // namespace kelvora
