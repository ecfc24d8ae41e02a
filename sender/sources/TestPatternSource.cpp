#include "sender/sources/TestPatternSource.h"

#include "core/Log.h"
#include "core/MonotonicClock.h"

#include <algorithm>
#include <chrono>

namespace kelvora {

namespace {

// Enough buffers for the encoders and previews that still hold recent pictures.
constexpr size_t retainedBuffers = 6;

}  // namespace

TestPatternSource::TestPatternSource(VideoDimensions dimensions, int frameRate, Options options)
    : dimensions_(dimensions),
      frameRate_(std::max(frameRate, 1)),
      queue_(options.queue ? std::move(options.queue)
                           : std::make_shared<SerialQueue>(SerialQueue::labelFor("testpattern"))),
      timers_(options.timers ? std::move(options.timers) : TimerSource::system()),
      startTime_(timers_->now()) {}

TestPatternSource::~TestPatternSource() = default;

void TestPatternSource::start(FrameHandler frameHandler, FailureHandler) {
    queue_->async([weak = weak_from_this(), handler = std::move(frameHandler)]() mutable {
        if (auto self = weak.lock()) {
            self->frameHandler_.set(std::move(handler));
            self->startOnQueue();
        }
    });
}

void TestPatternSource::stop() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->timer_.cancel();
            self->frameHandler_.set(nullptr);
        }
    });
}

void TestPatternSource::startOnQueue() {
    if (!pool_) {
        try {
            pool_.emplace(PixelFormat::bgra, dimensions_.width, dimensions_.height, retainedBuffers);
            painter_ = std::make_unique<TestPatternPainter>(dimensions_, frameRate_);
        } catch (const PixelBufferError& error) {
            // A size no buffer can have: the timer runs, but no picture is ever drawn.
            Log::capture().error("Testbild {}: {}", dimensions_.description(), error.what());
        }
    }
    timer_ = timers_->every(queue_, std::chrono::nanoseconds(1'000'000'000 / frameRate_),
                            [weak = weak_from_this()] {
                                if (auto self = weak.lock()) {
                                    self->tick();
                                }
                            });
    // The grid starts now, with the first picture.
    tick();
}

void TestPatternSource::tick() {
    if (!frameHandler_.hasHandler() || !pool_) {
        return;
    }
    // Only this queue takes buffers from the pool and it draws every one, so an idle buffer holds an earlier
    // picture; one returned between the two calls is merely redrawn whole.
    const auto contents = pool_->idleCount() > 0 ? TestPatternPainter::Contents::earlierPicture
                                                 : TestPatternPainter::Contents::unknown;
    PixelBuffer buffer = pool_->make();
    if (!buffer) {
        return;
    }
    // Taken before drawing, so that measured latencies include the drawing.
    const uint64_t now = timers_->now();
    ++frameCounter_;
    TestPatternPainter::Frame frame;
    frame.frameCounter = frameCounter_;
    frame.captureTime = now;
    frame.millisecondsSinceStart = MonotonicClock::milliseconds(startTime_, now);
    frame.clockText = TestPatternPainter::clockText(std::chrono::system_clock::now());
    painter_->draw(buffer, frame, contents);
    frameHandler_(SourceFrame{std::move(buffer), now, true});
}

}  // namespace kelvora
