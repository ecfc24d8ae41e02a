#pragma once

#include "core/LockedHandler.h"
#include "core/TimerSource.h"
#include "core/VideoDimensions.h"
#include "platform/PixelBufferPool.h"
#include "platform/SerialQueue.h"
#include "sender/sources/TestPatternPainter.h"
#include "sender/sources/VideoSource.h"

#include <memory>
#include <optional>

namespace kelvora {

// A source that needs no hardware: it draws the test picture at a fixed rate, with the capture time in the
// timecode strip along the bottom edge, so that a viewer can measure the true end-to-end latency. Its
// pictures are BGRA and the only ones marked as test pattern. It never fails.
//
// Must be owned by a std::shared_ptr (its timer holds it weakly: a source released without `stop` stops
// drawing). Start, stop and every picture run on its queue (its own "app.kelvora.sender.testpattern" unless
// one is given); the frame handler is called there. Ticks follow absolute deadlines (start + n / rate) of its
// timer source, so the cadence does not drift; a tick missed while the queue was busy is skipped, not made up
// in a burst. Capture times are read from the same timer source.
class TestPatternSource final : public VideoSource, public std::enable_shared_from_this<TestPatternSource> {
  public:
    struct Options {
        // The source's queue; a new "testpattern" queue when none is given.
        std::shared_ptr<SerialQueue> queue;
        // The frame clock, armed on the source's queue; the monotonic clock and the queue's own timers when
        // none is given.
        std::shared_ptr<TimerSource> timers;
    };

    // `frameRate` below 1 is taken as 1 frame per second.
    TestPatternSource(VideoDimensions dimensions, int frameRate, Options options = {});
    ~TestPatternSource() override;

    std::string name() const override { return "Testbild"; }
    std::string identifier() const override { return "testpattern"; }

    // The failure handler is not kept: the test pattern has nothing that could fail.
    void start(FrameHandler frameHandler, FailureHandler failureHandler) override;
    void stop() override;

    VideoDimensions dimensions() const { return dimensions_; }
    int frameRate() const { return frameRate_; }

  private:
    void startOnQueue();
    void tick();

    const VideoDimensions dimensions_;
    const int frameRate_;
    LockedHandler<SourceFrame> frameHandler_;

    // Queue state.
    TimerSource::Handle timer_;
    std::optional<PixelBufferPool> pool_;
    std::unique_ptr<TestPatternPainter> painter_;
    uint64_t frameCounter_ = 0;

    // Last, so that they are let go first: an own queue's thread stops before the state above goes away.
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<TimerSource> timers_;
    const uint64_t startTime_;
};

}  // namespace kelvora
