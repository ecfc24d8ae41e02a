#pragma once

#include <asio/ip/udp.hpp>

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ControlMessage.h"
#include "core/MonotonicClock.h"
#include "core/QUICConfiguration.h"
#include "platform/QuicEndpoint.h"
#include "platform/SerialQueue.h"
#include "receiver/session/FrameStreamTracker.h"
#include "receiver/session/PlaybackEngine.h"

namespace kelvora {

// The viewer's engine for media over QUIC. It connects to the sender's QUIC port, trusting only the
// certificate whose fingerprint the welcome named, binds the connection to the session with a media-attach
// message, and reads one frame from every stream the sender opens, finishing its own side of the stream
// once the frame is in (the sender's receipt). It opens a fresh connection when the sender asks (rotation)
// and retires the old one ten seconds later, reopens a lost connection at most once in five seconds, and
// tells the session how many overtaken frames may still arrive.
//
// What a sender can make the viewer hold is bounded: a frame stream buffers one frame message at most (the
// protocol's largest) and nothing after its frame, and all frame streams together hold at most
// maximumBufferedBytes; a stream whose bytes would go beyond that is cancelled, its frame lost like one the
// network lost.
//
// Everything runs on the session queue of the context.
class NativeQUICPlaybackEngine final : public PlaybackEngine,
                                       public std::enable_shared_from_this<NativeQUICPlaybackEngine> {
  public:
    class QUICError : public std::exception {
      public:
        enum class Kind { missingParameters };
        static QUICError missingParameters() { return QUICError(Kind::missingParameters); }
        Kind kind() const { return kind_; }
        const char* what() const noexcept override {
            return "Der Sender hat keine QUIC-Parameter geschickt.";
        }

      private:
        explicit QUICError(Kind kind) : kind_(kind) {}
        Kind kind_;
    };

    static constexpr std::chrono::seconds retirementDelay{10};
    static constexpr double recoveryIntervalMs = 5000;
    // Two frames of the largest size the protocol allows: many times what the frames on their way at any
    // moment take, even at the highest bitrate the sender plans.
    static constexpr size_t maximumBufferedBytes =
        2 * (ControlMessage::headerLength + size_t{ControlMessage::maximumPayloadLength});
    // What the transport holds for us before we read it is bounded by the windows we announce.
    static_assert(QUICConfiguration::initialMaxData <= maximumBufferedBytes &&
                      QUICConfiguration::initialMaxStreamDataBidirectionalLocal <= maximumBufferedBytes &&
                      QUICConfiguration::initialMaxStreamDataBidirectionalRemote <= maximumBufferedBytes &&
                      QUICConfiguration::initialMaxStreamDataUnidirectional <= maximumBufferedBytes,
                  "the viewer's receive windows must stay within the engine's bound");

    explicit NativeQUICPlaybackEngine(Clock clock = MonotonicClock::system(),
                                      SerialQueue::Duration retireAfter = retirementDelay);

    EngineKind kind() const override { return EngineKind::quic(); }
    void start(const PlaybackEngineContext& context) override;
    void handle(const EngineSignalMessage& signal) override;
    int framesInFlight() const override;
    // Each frame has a stream of its own, and a later one may overtake it.
    bool deliversInOrder() const override { return false; }
    void stop() override;

    // Connections open now, for the status display and tests.
    size_t linkCount() const { return links_.size(); }
    // Frame streams not yet closed, and the bytes they hold of frames not yet complete.
    size_t frameStreamCount() const { return frameStreams_.size(); }
    size_t bufferedBytes() const { return bufferedBytes_; }

  private:
    struct Link {
        int id = 0;
        std::shared_ptr<QuicConnection> connection;
        std::shared_ptr<QuicStream> attachStream;
    };
    struct FrameStream {
        std::shared_ptr<QuicStream> stream;
        ControlMessageParser parser;
        bool delivered = false;
    };

    void openLink();
    void openAttachStream(const std::shared_ptr<Link>& link);
    void acceptFrameStream(std::shared_ptr<QuicStream> stream);
    void receiveOnFrameStream(const QuicStream* key, std::span<const uint8_t> data);
    // Forgets a frame stream and the bytes it held; cancels it when `cancel`.
    void dropFrameStream(const QuicStream* key, bool cancel);
    void recover(const std::shared_ptr<Link>& link, std::exception_ptr error);
    void retireLinksExcept(int keptID);
    static void closeLink(Link& link);
    void failMediaChannel(std::exception_ptr error);

    Clock clock_;
    SerialQueue::Duration retireAfter_;
    std::optional<PlaybackEngineContext> context_;
    std::optional<asio::ip::udp::endpoint> endpoint_;
    std::string fingerprint_;
    std::map<int, std::shared_ptr<Link>> links_;
    int newestLinkID_ = 0;
    std::map<const QuicStream*, FrameStream> frameStreams_;
    FrameStreamTracker tracker_;
    size_t bufferedBytes_ = 0;
    bool stopped_ = false;
    uint64_t lastLinkRecovery_ = 0;
    std::vector<Timer> retirements_;
};

}  // namespace kelvora
