#include "core/FrameOrderer.h"

#include "core/MonotonicClock.h"

#include <algorithm>
#include <limits>

namespace kelvora {
namespace {

// Counters take frame-number differences from the network; a nonsense number must not wrap them.
void addSaturating(int64_t& counter, uint64_t amount) {
    constexpr auto maximum = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t room = maximum - static_cast<uint64_t>(std::max<int64_t>(counter, 0));
    counter = amount >= room ? std::numeric_limits<int64_t>::max() : counter + static_cast<int64_t>(amount);
}

}  // namespace

FrameOrderer::FrameOrderer(double maximumWaitMs) : maximumWaitMs_(maximumWaitMs) {}

void FrameOrderer::reset() {
    lastDelivered_.reset();
    lastReference_.reset();
    chainStart_.reset();
    currentTier_.reset();
    pending_.clear();
    waitingForKeyframe_ = true;
    lastKeyframeRequest_ = 0;
    lastDeliveredCaptureTime_ = 0;
}

void FrameOrderer::abandonChain(int64_t refused, uint64_t now) {
    counters_.dropped += refused + static_cast<int64_t>(pending_.size());
    reset();
    lastKeyframeRequest_ = now;
}

std::optional<std::pair<uint64_t, uint64_t>> FrameOrderer::referenceRange() const {
    if (chainStart_ && lastReference_ && *lastReference_ >= *chainStart_) {
        return std::pair{*chainStart_, *lastReference_};
    }
    return std::nullopt;
}

bool FrameOrderer::fits(const EncodedVideoFrame& frame) const {
    if (!lastReference_) {
        return false;
    }
    if (frame.referenceFrameNumber == *lastReference_) {
        return true;
    }
    return frame.isRefresh() && chainStart_ && *chainStart_ <= frame.referenceFrameNumber &&
           frame.referenceFrameNumber <= *lastReference_;
}

// A sender that re-creates its encoder numbers from 1 again. Its first keyframe then lies at or below the
// start of our chain; without this, every frame of the new encoder would count as late for ever. A keyframe
// that was merely overtaken on the network is older than what we delivered, which its capture time shows
// when the sender stamps one.
bool FrameOrderer::isRestartedNumbering(const EncodedVideoFrame& keyframe) const {
    if (!chainStart_ || keyframe.frameNumber > *chainStart_) {
        return false;
    }
    bool timesKnown = keyframe.captureTime != 0 && lastDeliveredCaptureTime_ != 0;
    return !timesKnown || keyframe.captureTime > lastDeliveredCaptureTime_;
}

FrameOrderer::Action FrameOrderer::deliverInChain(EncodedVideoFrame frame) {
    if (lastDelivered_ && *lastDelivered_ + 1 < frame.frameNumber) {
        addSaturating(counters_.skippedBySender, frame.frameNumber - *lastDelivered_ - 1);
    }
    lastDelivered_ = frame.frameNumber;
    lastDeliveredCaptureTime_ = frame.captureTime;
    if (!frame.isDisposable()) {
        lastReference_ = frame.frameNumber;
    }
    if (frame.isDisposable() && frame.isRefresh()) {
        lastReference_ = frame.referenceFrameNumber;
    }
    auto end = pending_.upper_bound(frame.frameNumber);
    counters_.late += std::distance(pending_.begin(), end);
    pending_.erase(pending_.begin(), end);
    return Action::deliver(std::move(frame));
}

void FrameOrderer::startChain(EncodedVideoFrame keyframe, std::vector<Action>& actions) {
    lastDelivered_ = lastReference_ = chainStart_ = keyframe.frameNumber;
    lastDeliveredCaptureTime_ = keyframe.captureTime;
    waitingForKeyframe_ = false;
    pending_.erase(pending_.begin(), pending_.upper_bound(keyframe.frameNumber));
    actions.push_back(Action::deliver(std::move(keyframe)));
    drain(actions);
}

void FrameOrderer::drain(std::vector<Action>& actions) {
    while (true) {
        auto next = std::find_if(pending_.begin(), pending_.end(),
                                 [&](const auto& held) { return fits(held.second.frame); });
        if (next == pending_.end()) {
            return;
        }
        EncodedVideoFrame frame = std::move(next->second.frame);
        pending_.erase(next);
        actions.push_back(deliverInChain(std::move(frame)));
    }
}

void FrameOrderer::countGapBefore(const EncodedVideoFrame& keyframe, uint64_t from, uint64_t to) {
    auto heldInGap =
        static_cast<uint64_t>(std::distance(pending_.lower_bound(from), pending_.lower_bound(to)));
    uint64_t missing = (to - from) - heldInGap;
    if (keyframe.flags.contains(EncodedVideoFrame::Flags::senderSkipped)) {
        addSaturating(counters_.skippedBySender, missing);
    } else if (missing >= 1) {
        counters_.lost += 1;
    }
}

void FrameOrderer::giveUpGap(uint64_t now, std::vector<Action>& actions) {
    auto keyframe = std::find_if(pending_.begin(), pending_.end(),
                                 [](const auto& held) { return held.second.frame.isKeyframe(); });
    counters_.lost += 1;
    if (keyframe != pending_.end()) {
        EncodedVideoFrame frame = std::move(keyframe->second.frame);
        pending_.erase(keyframe);
        startChain(std::move(frame), actions);
        return;
    }
    counters_.dropped += static_cast<int64_t>(pending_.size());
    pending_.clear();
    // The chain values stay, so that a fitting refresh frame can still resume it.
    waitingForKeyframe_ = true;
    lastKeyframeRequest_ = now;
    actions.push_back(Action::requestKeyframe(Reason::frameLoss));
}

std::optional<FrameOrderer::Action> FrameOrderer::keyframeRequestIfDue(uint64_t now) {
    if (lastKeyframeRequest_ != 0 &&
        MonotonicClock::milliseconds(lastKeyframeRequest_, now) <= kKeyframeRequestIntervalMs) {
        return std::nullopt;
    }
    lastKeyframeRequest_ = now;
    return Action::requestKeyframe(Reason::frameLoss);
}

std::vector<FrameOrderer::Action> FrameOrderer::ingest(EncodedVideoFrame frame, uint64_t arrival) {
    std::vector<Action> actions;
    if (!currentTier_ || *currentTier_ != frame.tier) {
        currentTier_ = frame.tier;
        lastDelivered_.reset();
        lastReference_.reset();
        chainStart_.reset();
        pending_.clear();
        waitingForKeyframe_ = true;
        lastDeliveredCaptureTime_ = 0;
    }

    if (lastDelivered_ && frame.frameNumber <= *lastDelivered_) {
        if (frame.isKeyframe() && isRestartedNumbering(frame)) {
            // Everything held belongs to the old numbering and can never be decoded now.
            counters_.dropped += static_cast<int64_t>(pending_.size());
            pending_.clear();
            startChain(std::move(frame), actions);
            return actions;
        }
        counters_.late += 1;
        return actions;
    }

    if (frame.isKeyframe()) {
        if (lastDelivered_ && !waitingForKeyframe_ && *lastDelivered_ + 1 < frame.frameNumber) {
            countGapBefore(frame, *lastDelivered_ + 1, frame.frameNumber);
        }
        startChain(std::move(frame), actions);
        return actions;
    }

    if (!waitingForKeyframe_) {
        if (fits(frame)) {
            actions.push_back(deliverInChain(std::move(frame)));
            drain(actions);
            return actions;
        }
        uint64_t number = frame.frameNumber;
        pending_.insert_or_assign(number, Held{std::move(frame), arrival});
        if (inOrderDelivery_ || pending_.size() > kMaximumHeld) {
            giveUpGap(arrival, actions);
        }
        return actions;
    }

    if (frame.isRefresh() && fits(frame)) {
        // A refresh frame against a reference we still hold resumes the chain without a keyframe.
        waitingForKeyframe_ = false;
        uint64_t number = frame.frameNumber;
        pending_.erase(pending_.begin(), pending_.upper_bound(number));
        actions.push_back(deliverInChain(std::move(frame)));
        chainStart_ = number;
        drain(actions);
        return actions;
    }

    counters_.dropped += 1;
    if (auto request = keyframeRequestIfDue(arrival)) {
        actions.push_back(std::move(*request));
    }
    return actions;
}

std::vector<FrameOrderer::Action> FrameOrderer::poll(uint64_t now, bool useTransferWait) {
    std::vector<Action> actions;
    if (waitingForKeyframe_) {
        if (auto request = keyframeRequestIfDue(now)) {
            actions.push_back(std::move(*request));
        }
        return actions;
    }
    if (pending_.empty()) {
        return actions;
    }
    uint64_t earliest = std::min_element(pending_.begin(), pending_.end(), [](const auto& a, const auto& b) {
                            return a.second.arrival < b.second.arrival;
                        })->second.arrival;
    double limit = useTransferWait ? std::max(maximumWaitMs_, maximumTransferWaitMs_) : maximumWaitMs_;
    if (MonotonicClock::milliseconds(earliest, now) > limit) {
        giveUpGap(now, actions);
    }
    return actions;
}

}  // namespace kelvora
