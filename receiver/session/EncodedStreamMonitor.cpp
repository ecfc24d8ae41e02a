#include "receiver/session/EncodedStreamMonitor.h"

#include "platform/SerialQueue.h"

namespace kelvora {

std::shared_ptr<EncodedStreamMonitor> EncodedStreamMonitor::create(
    Clock clock, std::shared_ptr<SerialQueue> decoderWorker) {
    return std::shared_ptr<EncodedStreamMonitor>(
        new EncodedStreamMonitor(std::move(clock), std::move(decoderWorker)));
}

EncodedStreamMonitor::EncodedStreamMonitor(Clock clock, std::shared_ptr<SerialQueue> decoderWorker)
    : clock_(std::move(clock)),
      decoderWorker_(std::move(decoderWorker)),
      renderers_{{0, std::make_shared<VideoRenderer>()},
                 {1, std::make_shared<VideoRenderer>()},
                 {2, std::make_shared<VideoRenderer>()}},
      queue_(std::make_unique<SerialQueue>(SerialQueue::labelFor("monitor"))) {}

EncodedStreamMonitor::~EncodedStreamMonitor() {
    // Stop the queue before the decoders it works with go; each decoder then drains its own worker.
    queue_.reset();
}

bool EncodedStreamMonitor::isEnabled() const {
    std::lock_guard lock(enabledMutex_);
    return enabled_;
}

void EncodedStreamMonitor::setEnabled(bool enabled) {
    {
        std::lock_guard lock(enabledMutex_);
        enabled_ = enabled;
    }
    if (!enabled) {
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->reset();
            }
        });
    }
}

void EncodedStreamMonitor::submit(const EncodedVideoFrame& frame) {
    if (!isEnabled() || !renderers_.contains(frame.tier)) {
        return;
    }
    const size_t bytes = frame.dataByteCount();
    // Only the monitor queue changes these meanwhile, and it only takes away.
    const size_t frames = queuedFrames_.load();
    if (frames != 0 && (frames >= VideoDecoder::kMaximumBacklogFrames ||
                        queuedBytes_.load() + bytes > VideoDecoder::kMaximumBacklogBytes)) {
        countDropped(frame.tier);
        return;
    }
    queuedFrames_ += 1;
    queuedBytes_ += bytes;
    queue_->async([weak = weak_from_this(), frame, bytes] {
        if (auto self = weak.lock()) {
            self->process(frame);
            self->queuedBytes_ -= bytes;
            self->queuedFrames_ -= 1;
        }
    });
}

void EncodedStreamMonitor::process(const EncodedVideoFrame& frame) {
    const uint8_t tier = frame.tier;
    auto last = lastFrameNumber_.find(tier);
    if (last != lastFrameNumber_.end() && frame.frameNumber != last->second + 1 && !frame.isKeyframe()) {
        // A frame is missing: what follows refers to a picture this decoder never had.
        waitingForKeyframe_.insert(tier);
    }
    lastFrameNumber_[tier] = frame.frameNumber;
    if (waitingForKeyframe_.contains(tier)) {
        if (!frame.isKeyframe()) {
            countDropped(tier);
            return;
        }
        waitingForKeyframe_.erase(tier);
    }

    auto& decoder = decoders_[tier];
    if (!decoder) {
        decoder = std::make_unique<VideoDecoder>(
            [weak = weak_from_this(), tier](VideoDecoder::Result result) {
                if (auto self = weak.lock()) {
                    self->decoded(tier, std::move(result));
                }
            },
            decoderWorker_);
    }
    {
        std::lock_guard lock(statsMutex_);
        Stats& stats = stats_[tier];
        stats.codec = frame.codec;
        stats.dimensions = frame.dimensions;
        if (frame.encodeDoneTime >= frame.captureTime) {
            stats.encode.add(MonotonicClock::milliseconds(frame.captureTime, frame.encodeDoneTime));
        }
    }
    if (!decoder->decode(frame, clock_())) {
        // The decoder has fallen behind; it takes this tier's next keyframe again.
        waitingForKeyframe_.insert(tier);
        countDropped(tier);
    }
}

void EncodedStreamMonitor::countDropped(uint8_t tier) {
    std::lock_guard lock(statsMutex_);
    if (auto stats = stats_.find(tier); stats != stats_.end()) {
        stats->second.dropped += 1;
    }
}

void EncodedStreamMonitor::decoded(uint8_t tier, VideoDecoder::Result result) {
    if (auto* picture = std::get_if<DecodedFrame>(&result)) {
        const uint64_t now = clock_();
        {
            // Figures first: whoever sees the picture on screen finds it counted.
            std::lock_guard lock(statsMutex_);
            auto stats = stats_.find(tier);
            if (stats != stats_.end()) {
                stats->second.decoded.add(MonotonicClock::milliseconds(picture->frame.captureTime, now));
                stats->second.fps.record(1, now);
            }
        }
        renderers_.at(tier)->enqueue(picture->pixelBuffer);
        return;
    }
    // The tier shows nothing new until its next keyframe.
    queue_->async([weak = weak_from_this(), tier] {
        if (auto self = weak.lock()) {
            self->waitingForKeyframe_.insert(tier);
        }
    });
}

void EncodedStreamMonitor::reset() {
    decoders_.clear();
    waitingForKeyframe_ = {0, 1, 2};
    lastFrameNumber_.clear();
    std::lock_guard lock(statsMutex_);
    stats_.clear();
}

std::vector<EncodedStreamMonitor::TierInfo> EncodedStreamMonitor::tierInfos() const {
    const uint64_t now = clock_();
    std::vector<TierInfo> infos;
    std::lock_guard lock(statsMutex_);
    for (auto& [tier, stats] : stats_) {
        infos.push_back(TierInfo{tier, stats.codec, stats.dimensions, stats.fps.rate(now),
                                 stats.encode.median(), stats.decoded.median(), stats.dropped});
    }
    return infos;
}

std::shared_ptr<VideoRenderer> EncodedStreamMonitor::renderer(uint8_t tier) const {
    auto found = renderers_.find(tier);
    return found == renderers_.end() ? nullptr : found->second;
}

}  // namespace kelvora
