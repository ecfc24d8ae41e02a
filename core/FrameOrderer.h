#pragma once

#include "core/ControlRecords.h"
#include "core/EncodedVideoFrame.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace kelvora {

// The receiver's gatekeeper between the network and the decoder of one tier. Frames arrive out of order
// (QUIC carries each on its own stream), lost, or left out by the sender; the orderer decides frame by frame
// what the decoder may take now without breaking the reference chain, what waits for a missing
// predecessor, when to stop waiting and when to ask for a keyframe.
//
// Pure logic on values: no thread, timer or I/O. The receiver calls `ingest` for every arriving frame and
// `poll` from a 5 ms timer, both with the current monotonic time, and carries out the returned actions in
// order.
class FrameOrderer {
  public:
    using Reason = KeyframeRequestMessage::Reason;

    struct Counters {
        int64_t lost = 0;             // gaps given up (one per gap, not per frame)
        int64_t dropped = 0;          // frames thrown away undecoded
        int64_t late = 0;             // frames that came after a later one had been delivered
        int64_t skippedBySender = 0;  // frames the sender did not send (per frame)
        bool operator==(const Counters&) const = default;
    };

    // Decode this frame now, or ask the sender for a keyframe.
    class Action {
      public:
        static Action deliver(EncodedVideoFrame frame) { return Action(std::move(frame)); }
        static Action requestKeyframe(Reason reason) { return Action(reason); }

        bool isDelivery() const { return std::holds_alternative<EncodedVideoFrame>(value_); }
        bool isKeyframeRequest() const { return std::holds_alternative<Reason>(value_); }
        // Only for a delivery / a keyframe request respectively (std::bad_variant_access otherwise).
        const EncodedVideoFrame& frame() const { return std::get<EncodedVideoFrame>(value_); }
        EncodedVideoFrame& frame() { return std::get<EncodedVideoFrame>(value_); }
        Reason reason() const { return std::get<Reason>(value_); }

        bool operator==(const Action&) const = default;

      private:
        explicit Action(EncodedVideoFrame frame) : value_(std::move(frame)) {}
        explicit Action(Reason reason) : value_(reason) {}
        std::variant<EncodedVideoFrame, Reason> value_;
    };

    // More held frames than this force a decision at once.
    static constexpr size_t kMaximumHeld = 60;
    // While waiting for a keyframe, requests are repeated at this interval.
    static constexpr double kKeyframeRequestIntervalMs = 150.0;

    // The receiver waits 40 ms for a missing predecessor.
    explicit FrameOrderer(double maximumWaitMs);

    std::vector<Action> ingest(EncodedVideoFrame frame, uint64_t arrival);
    // Repeats keyframe requests while waiting for one, and gives up a gap whose oldest held frame has waited
    // longer than the limit (the longer transfer limit when `useTransferWait`).
    std::vector<Action> poll(uint64_t now, bool useTransferWait);
    // Forgets the chain (the tier was retired); counters and limits stay.
    void reset();
    // The decoder refused `refused` of the frames delivered last, having fallen behind: they and the frames
    // still held count as dropped, the chain is forgotten as by `reset`, and the receiver's own keyframe
    // request at `now` counts as this orderer's, which repeats it only after the usual interval.
    void abandonChain(int64_t refused, uint64_t now);

    // (oldest, newest) reference the decoder holds, which the receiver acknowledges to the sender.
    std::optional<std::pair<uint64_t, uint64_t>> referenceRange() const;

    const Counters& counters() const { return counters_; }
    bool waitingForKeyframe() const { return waitingForKeyframe_; }
    size_t heldCount() const { return pending_.size(); }
    double maximumWaitMs() const { return maximumWaitMs_; }
    void setMaximumWaitMs(double value) { maximumWaitMs_ = value; }
    double maximumTransferWaitMs() const { return maximumTransferWaitMs_; }
    void setMaximumTransferWaitMs(double value) { maximumTransferWaitMs_ = value; }
    // Media that arrives in the order it was sent (one TCP connection) never brings a missing frame later:
    // a frame that does not fit the chain then gives its gap up at once instead of after the wait, which
    // lets the sender's refresh reach back one frame less.
    void setInOrderDelivery(bool value) { inOrderDelivery_ = value; }

  private:
    struct Held {
        EncodedVideoFrame frame;
        uint64_t arrival;
    };

    bool fits(const EncodedVideoFrame& frame) const;
    bool isRestartedNumbering(const EncodedVideoFrame& keyframe) const;
    Action deliverInChain(EncodedVideoFrame frame);
    void startChain(EncodedVideoFrame keyframe, std::vector<Action>& actions);
    void drain(std::vector<Action>& actions);
    void countGapBefore(const EncodedVideoFrame& keyframe, uint64_t from, uint64_t to);
    void giveUpGap(uint64_t now, std::vector<Action>& actions);
    std::optional<Action> keyframeRequestIfDue(uint64_t now);

    double maximumWaitMs_;
    double maximumTransferWaitMs_ = 400.0;
    bool inOrderDelivery_ = false;
    Counters counters_;
    std::optional<uint64_t> lastDelivered_;
    std::optional<uint64_t> lastReference_;
    std::optional<uint64_t> chainStart_;
    bool waitingForKeyframe_ = true;
    std::optional<uint8_t> currentTier_;
    std::map<uint64_t, Held> pending_;
    uint64_t lastKeyframeRequest_ = 0;
    // Capture time of the last delivered frame (0 when unknown), to tell a sender's restarted numbering
    // from a keyframe that merely arrives late.
    uint64_t lastDeliveredCaptureTime_ = 0;
};

}  // namespace kelvora
