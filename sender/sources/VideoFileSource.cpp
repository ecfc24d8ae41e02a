#include "sender/sources/VideoFileSource.h"

#include "core/Log.h"
#include "platform/Utf8.h"

#include <chrono>
#include <cmath>

namespace kelvora {

namespace {

// Decoded pictures in flight towards encoders and previews.
constexpr size_t retainedBuffers = 6;

// No real file plays faster than this; a larger figure is a broken time base, not a rate.
constexpr double highestPlausibleRate = 1000;

}  // namespace

VideoFileSource::VideoFileSource(std::filesystem::path path, Options options)
    : path_(std::move(path)),
      queue_(options.queue ? std::move(options.queue)
                           : std::make_shared<SerialQueue>(SerialQueue::labelFor("videofile"))),
      timers_(options.timers ? std::move(options.timers) : TimerSource::system()) {}

VideoFileSource::~VideoFileSource() = default;

std::string VideoFileSource::name() const {
    // File names are bytes: one written by a system in Latin-1 is still shown, with U+FFFD for what is
    // not UTF-8.
    return validUtf8(path_.stem().string());
}

std::string VideoFileSource::identifier() const {
    return "videofile:" + path_.string();
}

double VideoFileSource::frameDurationFor(double nominalFrameRate) {
    // Also catches a rate that is not a number: every comparison with NaN is false.
    if (nominalFrameRate > 1.0 && nominalFrameRate <= highestPlausibleRate) {
        return 1.0 / nominalFrameRate;
    }
    return 1.0 / 30;
}

void VideoFileSource::start(FrameHandler frameHandler, FailureHandler failureHandler) {
    frameHandler_.set(std::move(frameHandler));
    queue_->async([weak = weak_from_this(), failures = std::move(failureHandler)]() mutable {
        if (auto self = weak.lock()) {
            self->failureHandler_ = std::move(failures);
            self->running_ = true;
            self->load();
        }
    });
}

void VideoFileSource::stop() {
    // Cleared here, not on the queue: once stop returns, at most a delivery already under way completes.
    frameHandler_.set(nullptr);
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->running_ = false;
            self->failureHandler_ = nullptr;
            self->timer_.cancel();
            self->reader_.reset();
        }
    });
}

// Opening runs on the queue itself, so a stop or a second start queued meanwhile can only be handled after
// it: no stale load can finish into a later start and add a second timer.
void VideoFileSource::load() {
    VideoFileAsset asset;
    try {
        asset = VideoFileAsset::load(path_);
    } catch (const VideoFileError& error) {
        Log::capture().error("Videodatei: {}", error.what());
        reportFailure(error);
        return;
    }
    finishStart(asset);
}

void VideoFileSource::finishStart(const VideoFileAsset& asset) {
    if (!running_) {
        return;
    }
    asset_ = asset;
    frameDuration_ = frameDurationFor(asset.nominalFrameRate);
    try {
        startReader();
    } catch (const VideoFileError& error) {
        reportFailure(error);
        return;
    }
    startTimer();
    Log::capture().info("Videodatei gestartet: {} @ {:f} fps", name(), asset.nominalFrameRate);
}

void VideoFileSource::startReader() {
    if (!asset_) {
        throw VideoFileError::noVideoTrack();
    }
    // On failure the old, finished reader stays, so every later tick tries again and reports again.
    reader_ = std::make_unique<VideoFileReader>(asset_->path);
}

void VideoFileSource::startTimer() {
    const auto interval = std::chrono::nanoseconds(std::llround(frameDuration_ * 1e9));
    // Assigning cancels the timer that was there: never two frame clocks at once.
    timer_ = timers_->every(queue_, interval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->tick();
        }
    });
    // The grid starts now, with the first picture.
    tick();
}

void VideoFileSource::tick() {
    if (!running_ || !reader_) {
        return;
    }
    AVFrame* picture = reader_->next();
    if (picture == nullptr) {
        // End of the file: play it again from the beginning, in the open file where it can seek.
        if (!reader_->rewind()) {
            try {
                startReader();
            } catch (const VideoFileError& error) {
                reportFailure(error);
                return;
            }
        }
        picture = reader_->next();
        if (picture == nullptr) {
            return;
        }
    }

    PixelBuffer buffer;
    try {
        if (!pool_ || pool_->width() != picture->width || pool_->height() != picture->height) {
            pool_.emplace(PixelFormat::nv12, picture->width, picture->height, retainedBuffers);
        }
        buffer = pool_->make();
        transfer_.transfer(PictureView::of(*picture), PictureView::of(buffer));
    } catch (const PixelBufferError& error) {
        // A picture we cannot convert is skipped like a sample without an image.
        Log::capture().warn("Videodatei: Bild übersprungen ({})", error.what());
        return;
    }

    const uint64_t now = timers_->now();
    const auto frameDuration = static_cast<uint64_t>(frameDuration_ * 1e9);
    const uint64_t captureTime = grid_.stamp(now, frameDuration);
    frameHandler_(SourceFrame{std::move(buffer), captureTime, false});
}

void VideoFileSource::reportFailure(const SourceError& error) {
    if (failureHandler_) {
        failureHandler_(error);
    }
}

}  // namespace kelvora
