#include "sender/server/TCPMediaSink.h"

#include "core/FramedConnection.h"
#include "core/LatencyTrace.h"

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

void TCPMediaSink::send(const EncodedVideoFrame& frame, const SharedBytes& message) {
    if (!LatencyTrace::active()) {
        connection_->sendEncoded(message, true, false);
        return;
    }
    LatencyTrace::mark(LatencyStage::queued, frame.tier, frame.captureTime);
    connection_->sendEncoded(message, true, false,
                             [tier = frame.tier, captureTime = frame.captureTime](auto) {
                                 LatencyTrace::mark(LatencyStage::written, tier, captureTime);
                             });
}

}  // namespace kelvora
