#include "sender/server/QUICMediaSink.h"

#include <algorithm>
#include <cmath>

#include "core/LatencyTrace.h"
#include "core/Log.h"
#include "core/QUICConfiguration.h"

namespace kelvora {

SinkCongestion QUICMediaSink::congestionOf(const std::vector<InFlightFrame>& frames) {
    size_t count = frames.size();
    std::optional<double> keyframeAge;
    double frameAge = 0;
    for (const auto& frame : frames) {
        if (frame.isKeyframe) {
            keyframeAge = std::max(keyframeAge.value_or(frame.ageMs), frame.ageMs);
        } else {
            frameAge = std::max(frameAge, frame.ageMs);
        }
    }
    if (keyframeAge && *keyframeAge > 600) {
        return SinkCongestion::severe;
    }
    if (count > 7 || (frameAge > 120 && count >= 2)) {
        return SinkCongestion::severe;
    }
    if ((frameAge > 50 && count >= 2) || count > 3) {
        return SinkCongestion::moderate;
    }
    return SinkCongestion::none;
}

std::shared_ptr<QUICMediaSink> QUICMediaSink::make(std::shared_ptr<QuicConnection> connection,
                                                   std::function<void()> closeAttachStream, Clock clock) {
    std::shared_ptr<QUICMediaSink> sink(
        new QUICMediaSink(std::move(connection), std::move(closeAttachStream), std::move(clock)));
    std::weak_ptr<QUICMediaSink> weak = sink;
    sink->connection_->setHandlers({{},
                                    // The viewer opens no streams on a bound connection; any it opens are
                                    // refused.
                                    [](std::shared_ptr<QuicStream> stream) { stream->cancel(0); },
                                    [weak](const std::optional<QuicError>&) {
                                        if (auto self = weak.lock()) {
                                            self->closed_ = true;
                                        }
                                    }});
    return sink;
}

QUICMediaSink::QUICMediaSink(std::shared_ptr<QuicConnection> connection,
                             std::function<void()> closeAttachStream, Clock clock)
    : connection_(std::move(connection)),
      closeAttachStream_(std::move(closeAttachStream)),
      clock_(std::move(clock)),
      createdAt_(clock_()),
      meter_(createdAt_) {}

bool QUICMediaSink::isConnected() const {
    return !closed_ && connection_->isReady() && sequence_ < frameStreamLimit;
}

bool QUICMediaSink::isOvertaken(uint64_t sequence, uint8_t tier) const {
    // Only a frame that could not have been sent ahead of this one proves anything: one of this tier or
    // of a better one (a lower number).
    for (const auto& [receiptTier, newest] : newestReceipts_) {
        if (receiptTier <= tier && sequence < newest) {
            return true;
        }
    }
    return false;
}

double QUICMediaSink::roundTripMs() const {
    return std::floor(static_cast<double>(connection_->stats().minimumRttNs) / 1e6);
}

double QUICMediaSink::waitingMs(uint64_t startedAt, uint64_t now, double roundTrip) {
    return std::max(MonotonicClock::milliseconds(startedAt, now) - roundTrip, 0.0);
}

std::vector<QUICMediaSink::InFlightFrame> QUICMediaSink::framesInFlight(std::optional<uint8_t> tier) const {
    uint64_t now = clock_();
    const double roundTrip = roundTripMs();
    std::vector<InFlightFrame> frames;
    for (const auto& [sequence, entry] : inFlight_) {
        if ((!tier || entry.tier == *tier) && !isOvertaken(sequence, entry.tier)) {
            frames.push_back({waitingMs(entry.startedAt, now, roundTrip), entry.isKeyframe});
        }
    }
    return frames;
}

SinkCongestion QUICMediaSink::congestion() const {
    return congestionOf(framesInFlight(std::nullopt));
}

SinkCongestion QUICMediaSink::congestionForTier(uint8_t tier) const {
    return congestionOf(framesInFlight(tier));
}

void QUICMediaSink::send(const EncodedVideoFrame& frame, const SharedBytes& message) {
    if (closed_ || !connection_->isReady() || sequence_ >= frameStreamLimit) {
        return;
    }
    auto stream = connection_->openStream();
    if (!stream) {
        return;
    }
    LatencyTrace::mark(LatencyStage::queued, frame.tier, frame.captureTime);
    uint64_t now = clock_();
    pruneStale(now);
    uint64_t sequence = ++sequence_;
    if (!rotationRequested_ && sequence >= QUICConfiguration::rotationStreamThreshold) {
        rotationRequested_ = true;
        if (onRotationNeeded_) {
            onRotationNeeded_();
        }
    }
    // An intra-only encoder marks every frame a disposable keyframe; those are not the keyframes that
    // decide congestion.
    inFlight_[sequence] = {stream, now, frame.isKeyframe() && !frame.isDisposable(), frame.tier};
    uint64_t sendTime = clock_();
    uint64_t byteCount = message->size();
    uint8_t tier = frame.tier;
    std::weak_ptr<QUICMediaSink> weak = weak_from_this();
    stream->setHandlers(
        {[weak, sequence, tier, sendTime, byteCount](std::span<const uint8_t>, bool finished) {
             auto self = weak.lock();
             if (self && finished) {
                 self->receipt(sequence, tier, sendTime, byteCount);
             }
         },
         [weak, sequence](const std::optional<QuicError>&) {
             // Failed, cancelled or simply done: the frame is no longer in flight.
             if (auto self = weak.lock()) {
                 self->inFlight_.erase(sequence);
             }
         }});
    // The viewer falls back on the smaller tier, which costs the least to put first: a keyframe of the
    // better tier must not hold back the pictures the viewer shows meanwhile.
    stream->setPriority(frame.tier);
    stream->send(message, true);
}

void QUICMediaSink::pruneStale(uint64_t now) {
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        double limit = it->second.isKeyframe ? staleKeyframeAfterMs : staleAfterMs;
        if (MonotonicClock::milliseconds(it->second.startedAt, now) > limit) {
            auto stream = std::move(it->second.stream);
            it = inFlight_.erase(it);
            stream->cancel(0);
        } else {
            ++it;
        }
    }
}

void QUICMediaSink::receipt(uint64_t sequence, uint8_t tier, uint64_t sendTime, uint64_t byteCount) {
    uint64_t& newest = newestReceipts_[tier];
    newest = std::max(newest, sequence);
    // A frame given up before its receipt arrived counts for nothing.
    if (inFlight_.erase(sequence) == 0) {
        return;
    }
    auto result = meter_.recordReceipt(clock_(), sendTime, byteCount);
    if (result.measured) {
        Log::bitrate().debug(
            "Zustellrate: {} B (davon Frame {} B) in {} ms (Grundverzögerung {} ms) = {} kbit/s",
            result.windowBytes, byteCount, static_cast<long>(result.transferMs),
            static_cast<long>(result.baseDelayMs), static_cast<long>(result.loggedKbps));
    }
}

bool QUICMediaSink::hasKeyframeInFlight() const {
    return std::any_of(inFlight_.begin(), inFlight_.end(),
                       [](const auto& entry) { return entry.second.isKeyframe; });
}

bool QUICMediaSink::hasKeyframeInFlightForTier(uint8_t tier) const {
    return std::any_of(inFlight_.begin(), inFlight_.end(), [tier](const auto& entry) {
        return entry.second.tier == tier && entry.second.isKeyframe;
    });
}

void QUICMediaSink::cancelAll() {
    auto entries = std::move(inFlight_);
    inFlight_.clear();
    for (auto& [sequence, entry] : entries) {
        entry.stream->cancel(0);
    }
}

void QUICMediaSink::cancelTier(uint8_t tier) {
    std::vector<std::shared_ptr<QuicStream>> cancelled;
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        if (it->second.tier == tier) {
            cancelled.push_back(std::move(it->second.stream));
            it = inFlight_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& stream : cancelled) {
        stream->cancel(0);
    }
}

double QUICMediaSink::oldestInFlightAge(uint8_t tier) const {
    std::optional<uint64_t> oldest;
    for (const auto& [sequence, entry] : inFlight_) {
        if (entry.tier == tier && !isOvertaken(sequence, entry.tier) &&
            (!oldest || entry.startedAt < *oldest)) {
            oldest = entry.startedAt;
        }
    }
    return oldest ? waitingMs(*oldest, clock_(), roundTripMs()) : 0;
}

std::string QUICMediaSink::diagnostics() const {
    uint64_t now = clock_();
    std::string text;
    for (const auto& [sequence, entry] : inFlight_) {
        if (!text.empty()) {
            text += ' ';
        }
        text += std::to_string(static_cast<long>(MonotonicClock::milliseconds(entry.startedAt, now))) + "ms";
        if (entry.isKeyframe) {
            text += 'K';
        }
    }
    return text;
}

void QUICMediaSink::close() {
    closed_ = true;
    cancelAll();
    if (closeAttachStream_) {
        auto closeAttachStream = std::move(closeAttachStream_);
        closeAttachStream_ = nullptr;
        closeAttachStream();
    }
    connection_->close(0);
}

}  // namespace kelvora
