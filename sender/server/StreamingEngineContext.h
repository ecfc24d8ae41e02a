#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/SerialQueue.h"

namespace kelvora {

class SenderSession;

// What the server gives every engine: its queue, on which engines run whatever connections and listeners they
// open (so that their callbacks, the server and the sessions share one thread), and the lookup of a session
// by its token. The server makes one context and hands the same one to every engine at every start; its
// lookup holds the server weakly and finds nothing once the server is gone.
class StreamingEngineContext {
  public:
    using SessionLookup = std::function<std::shared_ptr<SenderSession>(const std::string& token)>;

    StreamingEngineContext(std::shared_ptr<SerialQueue> queue, SessionLookup sessionLookup);

    SerialQueue& queue() const { return *queue_; }
    // The same queue, for objects that keep it (connections an engine accepts).
    const std::shared_ptr<SerialQueue>& sharedQueue() const { return queue_; }

    // The session of a token, or nothing. Must be called on the queue; anywhere else it stops the process.
    std::shared_ptr<SenderSession> session(const std::string& token) const;

  private:
    const std::shared_ptr<SerialQueue> queue_;
    const SessionLookup sessionLookup_;
};

}  // namespace kelvora
