#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ControlRecords.h"
#include "core/EncodedVideoFrame.h"
#include "core/EngineKind.h"
#include "core/MonotonicClock.h"
#include "core/NetworkEndpoint.h"
#include "core/RateMeter.h"
#include "core/ReceiverReportMessage.h"
#include "platform/SerialQueue.h"
#include "sender/server/ClientRateController.h"
#include "sender/server/ClientStatus.h"
#include "sender/server/FrameNumberRange.h"
#include "sender/server/MediaSink.h"
#include "sender/server/SenderServerCallbacks.h"
#include "sender/server/TierPlanner.h"

namespace kelvora {

class FramedConnection;

// The sender's state for one connected viewer: which tiers it may receive (the displayed tier, the tier being
// built beside it during a switch, and the hot-standby proxy), keyframe gating per tier, drops for congestion
// and for the viewer's frame-rate limit, tier switches without a gap in the picture, the keyframe-request
// throttle, the rate-collapse check, its media channel and its status row.
//
// Owned by the server's session map; engines and callbacks hold it weakly. Every member runs on the server
// queue, which is also the control connection's queue; nothing is locked. The pipeline reads and sets the
// public fields there between frames.
class SenderSession : public std::enable_shared_from_this<SenderSession> {
  public:
    using KeyframeRequester = SenderServerCallbacks::KeyframeRequest;

    // A viewer that starts on the proxy (only from protocol 3 on) shows tier 2 while tier 0 is built beside
    // it. The session runs on the control connection's queue.
    SenderSession(std::string token, HelloMessage hello, std::shared_ptr<FramedConnection> control,
                  EngineKind engine, RateLimits limits, bool startOnProxy,
                  Clock clock = MonotonicClock::system(),
                  std::chrono::system_clock::time_point connectedSince = std::chrono::system_clock::now());
    ~SenderSession();
    SenderSession(const SenderSession&) = delete;
    SenderSession& operator=(const SenderSession&) = delete;

    // --- frame delivery ---

    // Decides what the viewer gets of one encoded frame; `message` is its whole encoded videoFrame control
    // frame, shared by all sessions.
    void deliver(const EncodedVideoFrame& frame, const SharedBytes& message);

    // --- tier switching ---

    // Starts building `target` beside the displayed tier (viewers before protocol 3 switch at once).
    void beginParallelTierBuild(uint8_t target);
    // Makes `tier` the displayed tier.
    void showTier(uint8_t tier);
    // Drops the candidate; a failed upgrade lengthens the return hold and lowers the estimate.
    void abortTierSwitch(bool failed, const std::string& reason);

    // --- the viewer's messages ---

    void handleTierReady(uint8_t tier, bool provisional);
    // Asks the tier's encoder for a keyframe (the displayed tier when none is given), subject to the per-tier
    // throttle; tiers the viewer neither shows, builds nor receives as standby are ignored.
    void requestKeyframe(KeyframeRequestMessage::Reason reason, std::optional<uint8_t> tier = std::nullopt);
    void handleStandbyBridge(bool active, uint8_t tier);
    void handleFrameRateLimit(uint16_t maxFps);
    // Stores a report for the status row and the next rate update and adds its loss counters to the totals.
    void recordReport(const ReceiverReportMessage& report);
    // Stores the viewer's acknowledged chain of a tier (newest 0 clears it). Returns false, storing nothing,
    // for a tier the sender does not have.
    bool handleReferenceAck(const ReferenceAckMessage& ack);

    // --- rate ---

    // True when the delivered rate collapsed under congestion; the estimate is then lowered to it.
    bool checkCollapse(uint64_t now);

    // --- media channel ---

    // A new channel arrives while the current one may still be carrying frames: it becomes pending and takes
    // over once connected. Without a connected channel it is attached at once.
    void prepareMediaChannelSwitch(std::shared_ptr<MediaSink> sink);
    // Installs `sink` as the channel, closing any earlier one; every tier waits for a fresh keyframe.
    void attachMediaSink(std::shared_ptr<MediaSink> sink);
    // Closes both channels and the control connection (with a goodbye when a reason is given).
    void close(std::optional<std::string> reason);

    // --- status ---

    ClientStatus clientStatus() const;
    // 2 while the proxy flows beside the main tier as hot standby, else nothing.
    std::optional<uint8_t> standbyTier() const;
    // The control connection's peer, and its host when that is a host and port.
    std::optional<NetworkEndpoint> remoteEndpoint() const;
    std::optional<std::string> remoteHost() const;
    uint64_t now() const { return clock_(); }

    // Identity and connection.
    const std::string token;
    const HelloMessage hello;
    const std::shared_ptr<FramedConnection> control;
    const EngineKind engine;
    const std::chrono::system_clock::time_point connectedSince;

    // Tiers.
    uint8_t tier = 0;                      // displayed
    std::optional<uint8_t> candidateTier;  // being built beside it
    uint64_t candidateSince = 0;
    std::shared_ptr<MediaSink> sink;
    ClientRateController rateController;
    std::optional<ReceiverReportMessage> lastReport;
    KeyframeRequester keyframeRequester;
    std::map<uint8_t, ReferenceAckMessage> referenceAcks;
    StreamQuality qualityPreference = StreamQuality::automatic;
    TierPlanner::Profile tierProfile = TierPlanner::normalProfile();
    bool hotStandbyEnabled = false;
    bool isBridging = false;
    int64_t bridgeCount = 0;
    int receiverMaxFps = 0;  // 0 = no limit
    std::map<uint8_t, uint64_t> lastSentCapture;

    // Counters; the three "since update" ones are consumed by the pipeline's rate pass.
    int64_t framesSent = 0;
    int64_t framesDroppedBySender = 0;
    int64_t congestionEventsSinceUpdate = 0;
    int64_t framesOfferedSinceUpdate = 0;
    int64_t primaryDropsSinceUpdate = 0;
    RateMeter sentBytesMeter{2.0};
    RateMeter offeredBytesMeter{2.0};  // displayed-tier bytes

    std::shared_ptr<MediaSink> pendingSink;
    std::optional<uint64_t> provisionalReadySince;
    uint64_t lastKeyframeInFlight = 0;
    int64_t receiverLostTotal = 0;
    int64_t receiverDroppedTotal = 0;
    std::optional<ReceiverReportMessage> unconsumedReport;

    // Return hold: how long the viewer must be stable before the planner lets it climb again.
    double proxyReturnHoldMs = 4000;
    uint64_t lastReturnFromProxy = 0;
    uint64_t lastFailedUpgrade = 0;
    bool hadUpgradeAttempt = false;
    uint64_t lastTierChange = 0;

  private:
    // Gating state of one tier.
    struct TierDelivery {
        bool waitingForKeyframe = true;
        int64_t droppedSinceKeyframe = 0;
        uint64_t lastDroppableSeen = 0;  // frame number; 0 = none
        bool started = false;            // sent its first keyframe to the current sink
    };

    // A replaced sink that keeps delivering what it has in flight until its close comes due.
    struct RetiringSink {
        std::shared_ptr<MediaSink> sink;
        Timer closeTimer;
    };

    void sendFrame(const EncodedVideoFrame& frame, const SharedBytes& message, MediaSink& sink, uint64_t now);
    // Sends a copy flagged senderSkipped, so the viewer counts the gap before it as withheld, not lost.
    void sendMarkedSkipped(const EncodedVideoFrame& frame, MediaSink& sink, uint64_t now);
    void release(TierDelivery& entry, const EncodedVideoFrame& frame, const SharedBytes& message,
                 MediaSink& sink, uint64_t now);
    void deliverWaiting(TierDelivery& entry, const EncodedVideoFrame& frame, const SharedBytes& message,
                        MediaSink& sink, SinkCongestion congestion, bool fallback, bool leaving,
                        uint64_t now);
    void deliverFlowing(TierDelivery& entry, const EncodedVideoFrame& frame, const SharedBytes& message,
                        MediaSink& sink, SinkCongestion congestion, bool fallback, bool leaving,
                        uint64_t now);
    void deliverStandbyFrame(const EncodedVideoFrame& frame, const SharedBytes& message, MediaSink& sink,
                             uint64_t now);
    void countCongestionEvent(MediaSink& sink, uint64_t now);
    bool refreshFitsChain(const EncodedVideoFrame& frame) const;
    bool exceedsFrameRateLimit(const EncodedVideoFrame& frame) const;
    std::string acknowledgedRangeText(const EncodedVideoFrame& frame) const;
    void switchToPendingSink(uint8_t frameTier);
    void retire(std::shared_ptr<MediaSink> sink);
    void closeRetiringSinks();
    // The proxy of a main-tier viewer that keeps it flowing as standby.
    bool isStandbyProxy(uint8_t tier) const;

    Clock clock_;
    std::map<uint8_t, TierDelivery> delivery_;
    std::map<uint8_t, uint64_t> lastKeyframeRequests_;
    std::vector<RetiringSink> retiring_;
};

}  // namespace kelvora
