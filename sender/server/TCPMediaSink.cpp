#include "sender/server/TCPMediaSink.h"

#include "core/FramedConnection.h"

namespace kelvora {

TCPMediaSink::TCPMediaSink(std::shared_ptr<FramedConnection> connection)
    : connection_(std::move(connection)) {}

SinkCongestion TCPMediaSink::congestionFor(int64_t pendingBytes, int pendingFrames) {
    if (pendingBytes > severePendingBytes || pendingFrames > 2) {
        return SinkCongestion::severe;
    }
    if (pendingFrames == 2) {
        return SinkCongestion::moderate;
    }
    return SinkCongestion::none;
}

SinkCongestion TCPMediaSink::congestion() const {
    return congestionFor(connection_->pendingBytes(), connection_->pendingFrames());
}

void TCPMediaSink::send(const EncodedVideoFrame&, const SharedBytes& message) {
    connection_->sendEncoded(message, true, false);
}

}  // namespace kelvora
