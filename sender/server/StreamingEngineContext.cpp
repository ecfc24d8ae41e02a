#include "sender/server/StreamingEngineContext.h"

namespace kelvora {

StreamingEngineContext::StreamingEngineContext(std::shared_ptr<SerialQueue> queue,
                                               SessionLookup sessionLookup)
    : queue_(std::move(queue)), sessionLookup_(std::move(sessionLookup)) {}

std::shared_ptr<SenderSession> StreamingEngineContext::session(const std::string& token) const {
    queue_->assertCurrent("StreamingEngineContext::session");
    return sessionLookup_ ? sessionLookup_(token) : nullptr;
}

}  // namespace kelvora
