#include "sender/server/NativeTCPEngine.h"

#include "sender/server/SenderSession.h"
#include "sender/server/TCPMediaSink.h"

namespace kelvora {

void NativeTCPEngine::attach(const std::shared_ptr<SenderSession>& session) {
    session->attachMediaSink(std::make_shared<TCPMediaSink>(session->control));
}

}  // namespace kelvora
