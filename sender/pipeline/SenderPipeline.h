#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/EncodedVideoFrame.h"
#include "core/LockedHandler.h"
#include "core/MonotonicClock.h"
#include "core/RateMeter.h"
#include "core/ServiceAnnouncement.h"
#include "core/StreamInfoMessage.h"
#include "core/StreamTuning.h"
#include "platform/SerialQueue.h"
#include "sender/pipeline/CompressionSession.h"
#include "sender/pipeline/FrameIntake.h"
#include "sender/pipeline/FrameRateFollower.h"
#include "sender/pipeline/Nv12Intake.h"
#include "sender/pipeline/ParallelLoop.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/pipeline/SourceFactory.h"
#include "sender/pipeline/SourceSelection.h"
#include "sender/pipeline/TierEncoders.h"
#include "sender/pipeline/VideoEncoder.h"
#include "sender/server/SenderServerCallbacks.h"
#include "sender/sources/SourceFrame.h"

namespace kelvora {

class SenderServer;
class SenderSession;
class SimpleH264Streamer;
class StreamingEngine;

// One sender output: its video source, one encoder per running quality tier, the media engines and the
// server that announces the output and serves its viewers, the output's status and a 0.5 s tick that plans
// tiers and rates, watches the source and publishes the status.
//
// Threads. All control work (start, stop, settings, sources, devices, pause, the server's callbacks, the
// tick) runs on the server's queue; the public operations enqueue it there and return at once. Pictures
// arrive on the source's own thread and are taken in there: the intake state (FrameIntake), the encoder
// table (TierEncoders), the simple streamer (`streamerLock_`) and the settings copy for other threads
// (`settingsLock_`) are guarded by mutexes of their own; no two are held at once, except that an encoder's
// own lock is taken inside the encoder table's. Encoded frames come from the encoders' threads and are
// moved to the server queue before they touch any state. Every callback holds the pipeline weakly.
//
// Must be owned by a std::shared_ptr (`create`).
class SenderPipeline final : public SenderServerDelegate,
                             public std::enable_shared_from_this<SenderPipeline> {
  public:
    struct Options {
        // Where every time threshold takes its "now".
        Clock clock = MonotonicClock::system();
        // The real sources of this computer when none is given.
        std::shared_ptr<SourceFactory> sources;
        // Whether silent and black sources are restarted; the user default "AutoSourceRecovery" when none
        // is given (read at each use).
        std::function<bool()> autoSourceRecovery;
        EncoderBackend encoderBackend = EncoderBackend::automatic;
        // Where the QUIC engine keeps its identity; empty: the user's application folder.
        std::filesystem::path applicationFolder;
        // Whether the server is published by DNS-SD (see SenderServer::Options::announce).
        bool announce = true;
    };

    static std::shared_ptr<SenderPipeline> create(SenderSettings settings, std::string senderID);
    static std::shared_ptr<SenderPipeline> create(SenderSettings settings, std::string senderID,
                                                  std::vector<std::shared_ptr<StreamingEngine>> extraEngines,
                                                  Options options);
    ~SenderPipeline() override;
    SenderPipeline(const SenderPipeline&) = delete;
    SenderPipeline& operator=(const SenderPipeline&) = delete;

    // Server, tick and source.
    void start();
    // Tick, source and server; every viewer is told "sender stopped".
    void stop();
    // Applies new settings: a new name or engine list restarts the server, a new source choice the source;
    // bitrates and tier switches reach the encoders at once.
    void updateSettings(SenderSettings settings);
    void setPaused(bool paused);
    // Stops and restarts a running source.
    void reconnectSource(std::string reason);
    void updateDevices(std::vector<CaptureDeviceInfo> devices);
    // Closes one viewer with "disconnected by sender".
    void disconnectClient(std::string token);
    // Fed with every source picture from the next one on.
    void setSimpleStreamer(std::shared_ptr<SimpleH264Streamer> streamer);

    // Every published status, on the server queue.
    void setStatusHandler(std::function<void(SenderStatus)> handler);
    // Every source picture, synchronously on the source's thread.
    void setPreviewHandler(std::function<void(SourceFrame)> handler);
    // Every delivered encoded frame, on the server queue.
    void setEncodedFrameHandler(std::function<void(EncodedVideoFrame)> handler);
    // A viewer's tuning while remote tuning is allowed; without one the pipeline applies it itself.
    void setTuningRequestHandler(std::function<void(StreamTuning)> handler);

    SenderSettings settings() const;
    const std::string& senderID() const { return senderID_; }
    // The queue all control work runs on (the server's).
    SerialQueue& queue() const { return *queue_; }

    // The name the output is announced under: the settings' name cleaned as viewers clean names (core/
    // PeerText.h) and without surrounding white space, else this computer's name (computerName).
    static std::string displayName(const SenderSettings& settings);
    // The state viewers and the network see for a status state.
    static StreamInfoMessage::State announcedState(const SenderStatus::State& state);

    // The callbacks the server is given: each reaches the pipeline only while it exists, and otherwise
    // answers what a sender with default settings and no tiers would.
    static SenderServerCallbacks serverCallbacks(const std::weak_ptr<SenderPipeline>& pipeline);

    // --- the server's callbacks (server queue) ---

    void handleKeyframeRequest(uint8_t tier, KeyframeRequestMessage::Reason reason,
                               std::optional<FrameNumberRange> acknowledged) override;
    void handleReferenceAck(SenderSession& session, const ReferenceAckMessage& ack) override;
    void handleSessionsChanged() override;
    void handleRemoteTuning(SenderSession& session, const StreamTuning& tuning) override;
    StreamTuning currentTuning() override;
    void reconnectSource() override;
    bool startsOnProxy() override;
    RateLimits rateLimits() override;

  private:
    // No viewer's rate is steered below this.
    static constexpr int rateFloorKbps = 300;

    SenderPipeline(SenderSettings settings, std::string senderID,
                   std::vector<std::shared_ptr<StreamingEngine>> extraEngines, Options options);
    void wireServer();

    // Lifecycle and sources (server queue).
    void startOnQueue();
    void stopOnQueue();
    void startSource();
    void stopSource();
    std::optional<std::string> selectedSourceID() const;
    void applySettings(SenderSettings settings);
    void applyDevices(std::vector<CaptureDeviceInfo> devices);
    void refreshTiers();
    std::vector<std::shared_ptr<StreamingEngine>> enabledEngines(const SenderSettings& settings) const;

    // Frame intake (source thread).
    void handleFrame(SourceFrame frame);
    void adaptToSourceDimensions(int width, int height);
    void passThroughFrame(const SourceFrame& frame);

    // Tiers (server queue).
    void updateTierEncoders();
    // Every tier is sized from the size sent, which is this size or, for a source larger than any viewer
    // takes, the largest of its aspect they take. Returns whether the size sent changed.
    bool setVideoDimensions(VideoDimensions size);
    std::shared_ptr<VideoEncoder> makeEncoder(uint8_t tier, const EncoderConfiguration& configuration);
    std::shared_ptr<VideoEncoder> encoder(uint8_t tier) const;
    int effectiveMainBitrateKbps() const;
    void tick();
    void manageTiers();
    // `upgradeBuilding`: a viewer builds the encoder's tier up beside a smaller one.
    void applyTierBitrate(int requestedKbps, VideoEncoder& encoder, int capKbps, bool upgradeBuilding);

    // Watchdog (server queue).
    void checkSourceHealth();
    void adaptToSourceFrameRate();
    bool isAutoSourceRecoveryEnabled() const;
    void handleSourceFailure(uint64_t generation, const std::string& description);

    // Delivery and status (server queue).
    void handleEncodedFrame(EncodedVideoFrame frame);
    void publishStatus();
    ServiceAnnouncement currentAnnouncement(
        const std::optional<std::vector<std::shared_ptr<StreamingEngine>>>& engines = std::nullopt) const;
    StreamInfoMessage currentStreamInfo() const;
    void pushAnnouncement();
    // The server's sessions in its order (by token).
    std::vector<std::shared_ptr<SenderSession>> currentSessions() const;

    const Options options_;
    const std::string senderID_;
    const std::vector<std::shared_ptr<StreamingEngine>> extraEngines_;
    std::vector<std::shared_ptr<StreamingEngine>> allEngines_;
    std::shared_ptr<SenderServer> server_;
    std::shared_ptr<SerialQueue> queue_;

    LockedHandler<SenderStatus> statusHandler_;
    LockedHandler<SourceFrame> previewHandler_;
    LockedHandler<EncodedVideoFrame> encodedFrameHandler_;
    LockedHandler<StreamTuning> tuningRequestHandler_;

    // Written on the server queue under the lock; read there without it.
    mutable std::mutex settingsLock_;
    SenderSettings settings_;

    std::mutex streamerLock_;
    std::shared_ptr<SimpleH264Streamer> simpleStreamer_;

    TierEncoders encoders_;

    FrameIntake intake_;
    // Two helpers at least, for up to three tiers' encoders; a band of the conversion for each thread.
    ParallelLoop fanOut_{std::max<size_t>(2, Nv12Intake::bandsForThisProcess() - 1)};
    Nv12Intake nv12Intake_{Nv12Intake::bandsForThisProcess()};  // on the source's thread

    // Server queue only.
    std::vector<CaptureDeviceInfo> availableDevices_;
    std::shared_ptr<VideoSource> source_;
    SourceFactory::Kind sourceKind_ = SourceFactory::Kind::testPattern;
    uint64_t sourceGeneration_ = 0;
    uint64_t lastSourceFailure_ = 0;
    Timer sourceRetry_;
    bool isPaused_ = false;
    bool isStarted_ = false;
    std::map<uint8_t, std::shared_ptr<VideoEncoder::FrameNumbers>> frameNumbers_;
    double blackRestartHoldMs_ = 3000;
    uint64_t lastBlackRestart_ = 0;
    RateMeter outputMeter_{2.0};
    std::map<uint8_t, RateMeter> tierMeters_;
    std::map<uint8_t, RateMeter> tierFrameMeters_;
    std::optional<int> proxyClientKbps_;
    std::optional<int> middleKbps_;
    SenderStatus status_;
    Timer tick_;
    uint64_t tickCount_ = 0;
    VideoCodec effectiveCodec_ = VideoCodec::h264;
    VideoDimensions videoDimensions_;
    int videoFrameRate_ = 30;
    FrameRateFollower frameRateFollower_;
};

}  // namespace kelvora
