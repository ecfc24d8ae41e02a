#pragma once

#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "platform/PixelBuffer.h"
#include "receiver/session/ReceiverSession.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace kelvora::testing {

// What the display saw: pictures, those without a readable time code, and the capture-to-display latency
// of the last pictures (as many as the session keeps for its own figure).
class TimecodeDisplay {
  public:
    void present(const PixelBuffer& picture) {
        const uint64_t now = MonotonicClock::now();
        const auto capture = TestPatternTimecode::read(picture);
        std::lock_guard lock(mutex_);
        ++pictures_;
        if (!capture) {
            ++withoutTimecode_;
        } else {
            if (*capture > now) {
                ++fromTheFuture_;
            }
            latencies_.add(MonotonicClock::milliseconds(*capture, now));
        }
        shown_.notify_all();
    }
    int pictures() const {
        std::lock_guard lock(mutex_);
        return pictures_;
    }
    // The check loop follows the pictures, not the wall clock: a slow machine takes longer but sees the same
    // stream. The deadline only ends a stream that stopped.
    bool waitForPictures(int count, std::chrono::seconds deadline) {
        std::unique_lock lock(mutex_);
        return shown_.wait_for(lock, deadline, [&] { return pictures_ >= count; });
    }
    int withoutTimecode() const {
        std::lock_guard lock(mutex_);
        return withoutTimecode_;
    }
    int fromTheFuture() const {
        std::lock_guard lock(mutex_);
        return fromTheFuture_;
    }
    std::optional<double> medianLatency() const {
        std::lock_guard lock(mutex_);
        return latencies_.median();
    }
    size_t latencyCount() const {
        std::lock_guard lock(mutex_);
        return latencies_.count();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable shown_;
    int pictures_ = 0;
    int withoutTimecode_ = 0;
    int fromTheFuture_ = 0;
    SampleWindow latencies_{ReceiverSession::measurementSamples};
};

}  // namespace kelvora::testing
