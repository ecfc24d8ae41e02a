#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "core/ControlMessage.h"
#include "core/SampleWindow.h"
#include "core/VideoDimensions.h"

namespace kelvora {

// Which tier a receiver session shows, and which decoded picture reaches the screen. The sender may send a
// second tier beside the one on screen: a candidate it builds up before the viewer moves over, and (from
// protocol 4) the proxy as a hot standby behind the main tier. A candidate takes over only once it decodes
// steadily, with small gaps and a latency no worse than the picture on screen; when the main tier pauses,
// the standby proxy bridges the gap until the main tier runs again.
//
// Pure logic on values: no thread, timer or I/O. The session asks it about every arriving frame and every
// decoded picture with the current time, sends the control messages it returns, and carries out a switch
// (retiring the old tier's orderer and decoder, emptying its measurement windows). Logs go to "player".
class DisplayTierSelector {
  public:
    // The warm-up of a tier received beside the display tier.
    struct CandidateProgress {
        uint64_t firstDecodedAt = 0;  // start of the current warm-up
        uint64_t lastDecodedAt = 0;
        int decoded = 0;               // pictures in the current warm-up
        std::vector<uint64_t> recent;  // decode times of the last 500 ms
        SampleWindow latencies{30};
        // The tier's own picture interval, from its capture times; kept when the warm-up starts over.
        uint64_t lastCaptureTime = 0;
        SampleWindow captureIntervals{30};
    };

    // What the session knows about the picture on screen when a decoded picture comes in.
    struct DisplayFacts {
        double framesPerSecond = 0;                 // displayed pictures per second
        std::optional<double> latencyMedianMs;      // of the display tier
        std::optional<VideoDimensions> dimensions;  // of the picture on screen
    };

    struct Picture {
        uint8_t tier = 0;
        uint64_t captureTime = 0;
        std::optional<double> latencyMs;
        int width = 0;
        int height = 0;
    };

    struct TierSwitch {
        std::optional<uint8_t> from;
        uint8_t to = 0;
        // The old tier stops for a while: the session resets its orderer and lets its decoder go.
        bool retiresOld = false;
    };

    struct Routing {
        bool show = false;
        // Since the previously shown picture, for a shown picture that had a predecessor.
        std::optional<double> gapMs;
        std::optional<TierSwitch> switched;
        // To send in this order, when the control connection exists.
        std::vector<ControlMessage> messages;
    };

    struct Arrival {
        bool accepted = false;
        // A tier beside the display tier sent its first frame.
        bool candidateStarted = false;
    };

    static constexpr uint8_t proxyTier = 2;
    static constexpr uint8_t highestTier = 2;
    // A retired tier's frames are dropped this long.
    static constexpr double retireMs = 1000;

    // The welcome's protocol version: bridges from 4, tier-ready reports from 3.
    void setProtocolVersion(int version) { protocolVersion_ = version; }

    // A frame arrived: drops frames of tiers above 2 and of a retired tier, makes the first frame's tier the
    // display tier, and starts a warm-up record for a tier beside it.
    Arrival arrive(uint8_t tier, uint64_t arrival);

    // A decoded picture: whether it is shown, with the switches, bridges and messages it causes. A shown
    // picture becomes the newest displayed one.
    Routing route(const Picture& picture, const DisplayFacts& facts, uint64_t now);

    // The tier's warm-up starts over (a decoder failure or a keyframe request for a tier beside the
    // display tier).
    void restartWarmUp(uint8_t tier);

    void setPreferredTier(uint8_t tier) { preferredTier_ = tier; }

    std::optional<uint8_t> displayTier() const { return displayTier_; }
    std::optional<uint8_t> preferredTier() const { return preferredTier_; }
    uint64_t lastDisplayedAt() const { return lastDisplayedAt_; }
    uint64_t lastDisplayedCaptureTime() const { return lastDisplayedCaptureTime_; }
    const std::map<uint8_t, CandidateProgress>& candidates() const { return candidates_; }
    bool isBridging() const { return bridgeStartedAt_.has_value(); }
    int bridgeCount() const { return bridgeCount_; }
    // Finished bridges, plus the running one's age at `now`.
    double bridgedMs(uint64_t now) const;

  private:
    bool shouldBridge(uint8_t tier) const;
    bool startBridgeIfNeeded(double framesPerSecond, uint64_t now, Routing& routing);
    bool advanceCandidate(const Picture& picture, const DisplayFacts& facts, uint64_t now);
    void switchDisplayTier(uint8_t tier, uint64_t now, Routing& routing);
    void endBridge(uint64_t now, Routing& routing);
    bool acceptBridgeReturn(uint64_t captureTime, uint64_t now, Routing& routing);
    bool mainTierReturning(uint64_t now) const;

    int protocolVersion_ = 0;
    std::optional<uint8_t> displayTier_;
    std::optional<uint8_t> preferredTier_;
    struct Retired {
        uint8_t tier;
        uint64_t until;
    };
    std::optional<Retired> retired_;
    std::map<uint8_t, CandidateProgress> candidates_;
    uint64_t lastDisplayedAt_ = 0;
    uint64_t lastDisplayedCaptureTime_ = 0;
    std::optional<uint64_t> bridgeStartedAt_;
    struct ReturnRun {
        int count = 0;
        uint64_t lastAt = 0;
        uint64_t lastCaptureTime = 0;
        double allowedGapMs = 0;  // how late the next picture may come and still continue the run
    };
    ReturnRun bridgeReturnRun_;
    int bridgeCount_ = 0;
    double bridgedMs_ = 0;
};

}  // namespace kelvora
