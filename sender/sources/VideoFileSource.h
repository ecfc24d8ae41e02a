#pragma once

#include "core/LockedHandler.h"
#include "core/TimerSource.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "platform/SerialQueue.h"
#include "sender/sources/CaptureTimeGrid.h"
#include "sender/sources/VideoFileReader.h"
#include "sender/sources/VideoSource.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace kelvora {

// Plays a video file as an endless live source: decodes its first video stream at the file's nominal frame
// rate, starts again from the beginning at the end, and stamps every picture on a regular grid of its
// timer source's clock (CaptureTimeGrid), so that the rest of the system sees it like a camera. Pictures are
// NV12 video range.
//
// Must be owned by a std::shared_ptr; callbacks hold it weakly. `start` and `stop` touch only the frame
// handler (a LockedHandler) directly and do everything else on its queue (its own
// "app.kelvora.sender.videofile" unless one is given), where the file is opened, decoded and delivered and
// where failures are reported. At most one frame timer runs at any time, however `start` and `stop` are
// interleaved.
class VideoFileSource final : public VideoSource, public std::enable_shared_from_this<VideoFileSource> {
  public:
    using FileError = VideoFileError;

    struct Options {
        // The source's queue; a new "videofile" queue when none is given.
        std::shared_ptr<SerialQueue> queue;
        // The frame clock, armed on the source's queue; the monotonic clock and the queue's own timers when
        // none is given.
        std::shared_ptr<TimerSource> timers;
    };

    explicit VideoFileSource(std::filesystem::path path, Options options = {});
    ~VideoFileSource() override;

    // The file name without its extension: "Clip.final" for ".../Clip.final.mov".
    std::string name() const override;
    // "videofile:" followed by the path.
    std::string identifier() const override;

    void start(FrameHandler frameHandler, FailureHandler failureHandler) override;
    void stop() override;

    // Seconds between two pictures: 1 / the nominal rate, or 1/30 for a file without a usable rate.
    static double frameDurationFor(double nominalFrameRate);

  private:
    void load();
    void finishStart(const VideoFileAsset& asset);
    void startReader();
    void startTimer();
    void tick();
    void reportFailure(const SourceError& error);

    const std::filesystem::path path_;
    LockedHandler<SourceFrame> frameHandler_;

    // Queue state.
    FailureHandler failureHandler_;
    TimerSource::Handle timer_;
    std::optional<VideoFileAsset> asset_;
    std::unique_ptr<VideoFileReader> reader_;
    std::optional<PixelBufferPool> pool_;
    PixelTransfer transfer_;
    double frameDuration_ = 1.0 / 30;
    bool running_ = false;
    CaptureTimeGrid grid_;

    // Last, so that they are let go first: an own queue's thread stops before the state above goes away.
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<TimerSource> timers_;
};

}  // namespace kelvora
