#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/ClockSynchronizer.h"
#include "core/ControlMessage.h"
#include "core/FrameOrderer.h"
#include "core/FramedConnection.h"
#include "core/JitterEstimator.h"
#include "core/LockedHandler.h"
#include "core/NetworkEndpoint.h"
#include "core/RateMeter.h"
#include "core/SampleWindow.h"
#include "core/TimerSource.h"
#include "platform/LogThrottle.h"
#include "platform/PixelBuffer.h"
#include "platform/SerialQueue.h"
#include "receiver/session/DisplayTierSelector.h"
#include "receiver/session/FrameRateLimiter.h"
#include "receiver/session/PlaybackEngine.h"
#include "receiver/session/PlaybackOutput.h"
#include "receiver/session/PlaybackStatistics.h"
#include "receiver/session/PlayoutQueue.h"
#include "receiver/session/ReceiverError.h"
#include "receiver/session/VideoDecoder.h"
#include "receiver/session/VideoRenderer.h"

namespace kelvora {

// Who the viewer is, as the hello tells the sender.
struct ReceiverIdentity {
    std::string clientID;
    std::string clientName;
    std::string deviceModel;

    bool operator==(const ReceiverIdentity&) const = default;
};

// One viewer's connection to one sender: opens the TCP control connection, says
// hello, takes the welcome, starts the playback engine the welcome names, puts
// every tier's frames in order, decodes and presents them, keeps the clocks in
// step with the sender, reports back every second and follows the sender's
// control messages until the connection ends. The end is final and happens
// once; reconnecting is the owner's business (it makes a new session).
//
// Threads: all state lives on the session queue
// ("app.kelvora.viewer.receiver.session"); public calls and engine callbacks
// hop onto it. Pictures are handed to the renderer from the presentation queue
// ("app.kelvora.viewer.receiver.present"). Three values cross threads under
// their own mutexes: the statistics (read by the owner), the presentation state
// (shared with the presentation queue) and the remote address (read by the
// owner); the frame tap is a LockedHandler. Connection events, timers and
// decoder outputs hold the session weakly; presentation work holds it until it
// has run.
class ReceiverSession final : public PlaybackOutput, public std::enable_shared_from_this<ReceiverSession> {
  public:
    struct Connected {
        WelcomeMessage welcome;
    };
    struct StreamInfoChanged {
        StreamInfoMessage info;
    };
    struct TuningReceived {
        StreamTuning tuning;
    };
    // The session ended without the viewer asking: a ReceiverError, a connection
    // error (std::system_error or WireError) or an engine's error. Null only when
    // nothing is known.
    struct Ended {
        std::exception_ptr error;
    };
    struct FirstFrame {};
    using Event = std::variant<Connected, StreamInfoChanged, TuningReceived, Ended, FirstFrame>;
    using EventHandler = std::function<void(const Event&)>;

    static constexpr std::string_view viewerPrefix = "app.kelvora.viewer";
    static constexpr int protocolVersion = 4;
    static constexpr auto connectTimeout = std::chrono::seconds(5);
    // With no welcome this long after start() the sender counts as mute.
    static constexpr auto welcomeTimeout = std::chrono::milliseconds(6000);
    // After the welcome, a sender that has sent nothing at all this long (no frame, no time-sync answer, no
    // other message) counts as gone although its connection stands: a stopped or hung program on a computer
    // that still acknowledges our bytes. A live sender answers the time sync once a second even while
    // paused, so this is five answers missed in a row; a computer gone from the network is given up as
    // soon, by the transport's limit for unacknowledged data (TcpByteStream::userTimeoutMilliseconds).
    static constexpr auto silenceLimit = std::chrono::milliseconds(5000);
    // A time-sync tick this late found the session itself standing still (a stopped process, a laptop lid
    // closed): what the sender sent meanwhile waits unread, so that time is not the sender's silence.
    static constexpr auto ownStallLimit = std::chrono::milliseconds(1000);
    static constexpr int clockSamples = 24;
    static constexpr int measurementSamples = 90;
    static constexpr double initialWaitMs = 40;
    // Frames an engine hands over from another thread wait for the session queue in a bounded inbox, bounded
    // like the decoder's backlog and for the same reason: a session queue that has fallen this far behind
    // is seconds of latency that only a keyframe cures. At the bound a frame is refused, and its tier then
    // takes nothing but a keyframe (one is asked for), since every frame in between refers to one it never
    // saw.
    static constexpr size_t maximumInboxFrames = VideoDecoder::kMaximumBacklogFrames;
    static constexpr size_t maximumInboxBytes = VideoDecoder::kMaximumBacklogBytes;

    // `renderer` may be null when the owner draws pictures itself from the frame
    // tap. `scheduler` gives "now" and the timers (a test drives them by hand).
    static std::shared_ptr<ReceiverSession> create(EngineKind engineKind, NetworkEndpoint endpoint,
                                                   ReceiverIdentity identity,
                                                   std::shared_ptr<VideoRenderer> renderer = nullptr,
                                                   std::shared_ptr<TimerSource> scheduler = nullptr);
    ~ReceiverSession() override;
    ReceiverSession(const ReceiverSession&) = delete;
    ReceiverSession& operator=(const ReceiverSession&) = delete;

    // Called on the session queue; cleared at the end. Set before start().
    void setEventHandler(EventHandler handler);
    // Connects. Every call below returns at once and works on the session queue.
    void start();
    // Ends the session on the viewer's side: a goodbye "receiver stopped" goes
    // out, no Ended event follows.
    void stop();
    // Sent to a sender of protocol 4 or later, now or with the welcome;
    // `automatic` only when asked again.
    void setPreferredQuality(StreamQuality quality);
    // Sent only to a sender that accepts tuning.
    void updateTuning(StreamTuning tuning);
    void requestSourceRestart();
    // A manual keyframe request; needs no welcome.
    void requestKeyframe();
    // Playout smoothing; switching it off shows pictures as soon as they are
    // decoded.
    void setSmoothingEnabled(bool enabled);
    // The queue the decoders run libavcodec on; each decoder has its own when
    // none is set. Set before start(): a test holds it up to play a decoder
    // that cannot keep up.
    void setDecoderWorker(std::shared_ptr<SerialQueue> worker);
    // Frames for which `filter` answers false are thrown away on arrival, before they are counted or
    // ordered, as if the network had lost them. Set before start(); runs on the session queue. A test
    // loses chosen frames with it; without one every frame goes on.
    using FrameFilter = std::function<bool(const EncodedVideoFrame&)>;
    void setFrameFilter(FrameFilter filter);

    PlaybackStatistics statistics() const;
    // The sender's address as the control connection reached it (host without
    // "%scope").
    std::optional<HostPortEndpoint> remote() const;
    // Gets every presented picture, on the presentation queue (or an engine's
    // thread for pictures it decoded itself).
    LockedHandler<PixelBuffer> frameOutput;

    const EngineKind& engineKind() const { return engineKind_; }
    SerialQueue& queue() const { return *queue_; }
    // Where pictures are handed to the renderer and the frame tap.
    SerialQueue& presentationQueue() const { return *presentQueue_; }

    // The codecs this receiver decodes, in the order the hello lists them.
    static const std::vector<VideoCodec>& supportedCodecs();

    // PlaybackOutput, for the engine. From another thread than the session queue a frame goes through the
    // inbox (maximumInboxFrames, maximumInboxBytes).
    void receive(EncodedVideoFrame frame, uint64_t arrivalTime) override;
    void displayDecodedFrame(PixelBuffer picture, std::optional<uint64_t> captureTime,
                             std::optional<VideoCodec> codec) override;
    void mediaChannelFailed(std::exception_ptr error) override;

  private:
    class ControlChannel;

    // Shared between the session queue and the presentation queue, under its
    // mutex.
    struct Presentation {
        uint64_t lastCaptureTime = 0;
        uint64_t lastShownAt = 0;
        std::vector<double> captureIntervals;
        std::vector<double> displayIntervals;
        bool ended = false;
        // Pictures held back for the playout target, with their timers.
        PlayoutQueue playout;
        uint64_t nextPictureID = 1;
    };

    // Frames handed over from other threads that the session queue has not taken yet, under its mutex.
    struct Inbox {
        std::mutex mutex;
        size_t frames = 0;
        size_t bytes = 0;
        std::array<bool, 256> refusing{};  // per tier: a frame was refused, only a keyframe is taken
    };

    struct DecoderSlot {
        std::unique_ptr<VideoDecoder> decoder;
        // Outputs of a decoder that has since been replaced or let go are not ours
        // any more.
        uint64_t serial = 0;
    };

    ReceiverSession(EngineKind engineKind, NetworkEndpoint endpoint, ReceiverIdentity identity,
                    std::shared_ptr<VideoRenderer> renderer, std::shared_ptr<TimerSource> scheduler);

    static constexpr auto peerLogInterval = std::chrono::seconds(1);

    uint64_t now() const { return scheduler_->now(); }
    // Runs `work` with the session on the session queue, unless the session is
    // gone by then.
    void onQueue(std::function<void(ReceiverSession&)> work);
    void send(ControlMessage message);
    bool protocolAtLeast(int version) const;
    // Something came from the sender, on the control connection or the media path.
    void heardFromSender() { lastHeardAt_ = now(); }

    // Connection and handshake.
    void connect();
    void handleConnectionEvent(FramedConnection::Event event);
    void handleMessage(const ControlMessage& message);
    void handleWelcome(const WelcomeMessage& welcome);
    void end(std::exception_ptr error, bool notifyOwner);
    void closeControl(std::optional<std::string> reason);

    // Timers.
    void startTimers();
    void timeSyncTick(int tick);
    // Ends the session once the sender has been silent for silenceLimit while the session ran; true when it
    // did.
    bool endIfSenderSilent(uint64_t time);
    void ordererTick();
    void referenceAckTick();
    void acknowledgeReferences(uint8_t tier, const FrameOrderer& orderer);
    void reportTick();
    void statisticsTick();
    void sendReceiverReport(uint64_t time);
    void evaluateFrameRateLimit(double longestGapMs, uint64_t time);

    // Frame path.
    void handleVideoFrame(EncodedVideoFrame frame, uint64_t arrival);
    void handleOrdererActions(std::vector<FrameOrderer::Action> actions, uint8_t tier, uint64_t time);
    VideoDecoder& decoder(uint8_t tier);
    void handleDecoderResult(uint8_t tier, uint64_t serial, VideoDecoder::Result result);
    void handleDecodedFrame(uint8_t tier, DecodedFrame frame);
    void handleDecoderError(uint8_t tier, const DecoderError& error);
    void handleDecoderBacklog(uint8_t tier, int64_t refused, uint64_t time);
    // The tier's orderer waits for a keyframe (counting `refused` and what it holds as dropped) and the
    // sender is asked for one, once; the orderer repeats the request as after a loss when none comes.
    void dropToNextKeyframe(uint8_t tier, int64_t refused, uint64_t time);
    void applyTierSwitch(const DisplayTierSelector::TierSwitch& change);
    void resetMeasurementWindows();
    void schedulePresentation(PixelBuffer picture, uint64_t captureTime, std::optional<double> latencyMs);
    // On the presentation queue: a held picture's timer fired.
    void presentWaiting(uint64_t id);
    void present(const PixelBuffer& picture, uint64_t captureTime);
    // The sender clock's latency of `senderTime` at `time`, or nothing while the clock is not synchronised or
    // the latency is one no real sender gives (isPlausibleLatency).
    std::optional<double> latencyMilliseconds(uint64_t senderTime, uint64_t time) const;
    void recordEngineDecodedFrame(uint64_t shownAt, std::optional<uint64_t> captureTime, bool fromTimecode,
                                  std::optional<VideoCodec> codec, VideoDimensions dimensions);

    const EngineKind engineKind_;
    const NetworkEndpoint endpoint_;
    const ReceiverIdentity identity_;
    const std::shared_ptr<VideoRenderer> renderer_;
    const std::shared_ptr<TimerSource> scheduler_;
    const std::shared_ptr<SerialQueue> queue_;
    const std::shared_ptr<SerialQueue> presentQueue_;

    EventHandler eventHandler_;
    std::shared_ptr<FramedConnection> control_;
    std::shared_ptr<PlaybackEngine> engine_;
    std::shared_ptr<SerialQueue> decoderWorker_;
    FrameFilter frameFilter_;
    std::map<uint8_t, DecoderSlot> decoders_;
    uint64_t nextDecoderSerial_ = 1;
    std::map<uint8_t, FrameOrderer> orderers_;
    double waitTimeMs_ = initialWaitMs;
    DisplayTierSelector tiers_;
    double longestGapMs_ = 0;

    Inbox inbox_;
    mutable std::mutex presentationMutex_;
    Presentation presentation_;

    bool smoothingEnabled_ = true;
    std::optional<double> playoutTargetMs_;
    ClockSynchronizer clock_{clockSamples};
    TimerSource::Handle welcomeGuard_;
    std::vector<TimerSource::Handle> timers_;
    bool ended_ = false;
    bool hasShownFrame_ = false;
    uint64_t lastHeardAt_ = 0;
    uint64_t lastTimeSyncTickAt_ = 0;
    std::optional<WelcomeMessage> welcome_;

    mutable std::mutex statsMutex_;
    PlaybackStatistics stats_;

    RateMeter fpsMeter_{1.0};
    RateMeter bytesMeter_{1.0};
    SampleWindow latencyWindow_{measurementSamples};
    SampleWindow networkLatencyWindow_{measurementSamples};
    SampleWindow encodeWindow_{measurementSamples};
    SampleWindow transferWindow_{measurementSamples};
    SampleWindow receiverWindow_{measurementSamples};
    JitterEstimator jitter_;

    std::map<uint8_t, FrameOrderer::Counters> lastReportCounters_;
    int lastReportReceived_ = 0;
    int lastReportDecoded_ = 0;
    int64_t lastReportBytes_ = 0;
    int lastReportDecodeErrors_ = 0;
    int64_t totalBytes_ = 0;
    int framesReceived_ = 0;
    int framesDecoded_ = 0;
    int decodeErrors_ = 0;
    int keyframeRequests_ = 0;
    int framesSkippedForCatchUp_ = 0;
    uint64_t lastReportTime_ = 0;

    StreamQuality preferredQuality_ = StreamQuality::automatic;
    mutable std::mutex remoteMutex_;
    std::optional<HostPortEndpoint> remote_;
    std::map<uint8_t, ReferenceAckMessage> lastReferenceAck_;
    std::map<uint8_t, uint64_t> lastArrival_;
    FrameRateLimiter frameRateLimiter_;

    // Lines a sender can cause once per message: at most one per interval, with the count passed over.
    LogThrottle repeatedWelcomeLog_{peerLogInterval};
    LogThrottle decoderErrorLog_{peerLogInterval};
};

}  // namespace kelvora
