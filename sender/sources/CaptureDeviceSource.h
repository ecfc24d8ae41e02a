#pragma once

#include "core/LockedHandler.h"
#include "core/MonotonicClock.h"
#include "core/VideoDimensions.h"
#include "platform/SerialQueue.h"
#include "sender/sources/CaptureDevice.h"
#include "sender/sources/CaptureError.h"
#include "sender/sources/SourceFrame.h"
#include "sender/sources/V4L2Capture.h"
#include "sender/sources/V4L2Interface.h"
#include "sender/sources/VideoSource.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvora {

// The video source of a capture device (a USB card or camera, a built-in camera, a professional card whose
// driver presents a V4L2 device). At start it opens the device, chooses the format and rate that best fit
// the requested size and rate (CaptureFormat.h), streams through memory-mapped buffers and turns every
// picture (YUYV, NV12 or MJPEG) into a pooled NV12 buffer. When a size was requested that the chosen format
// does not have, pictures are scaled to fit inside it with black bars.
//
// Capture times are the device's own time stamps (the monotonic clock, like ours) unless a stamp lies more
// than 5 ms ahead or 1000 ms behind the arrival; then the arrival counts, and the first such repair is
// logged.
//
// Threads: start, stop and every failure report run on the queue "capture.session"; pictures are read,
// converted and delivered on "capture.output". A device that vanishes or fails while running ends its
// stream (the device is released at once) and is reported once; the owner stops the source and makes a
// new one to try again.
class CaptureDeviceSource final : public VideoSource,
                                  public std::enable_shared_from_this<CaptureDeviceSource> {
  public:
    static std::shared_ptr<CaptureDeviceSource> create(
        CaptureDevice device, std::optional<VideoDimensions> targetDimensions,
        std::optional<int> targetFrameRate, std::shared_ptr<V4L2Interface> system = V4L2Interface::system(),
        Clock clock = MonotonicClock::system());
    ~CaptureDeviceSource() override;
    CaptureDeviceSource(const CaptureDeviceSource&) = delete;
    CaptureDeviceSource& operator=(const CaptureDeviceSource&) = delete;

    std::string name() const override { return device_.name; }
    std::string identifier() const override { return device_.id; }

    void start(FrameHandler frameHandler, FailureHandler failureHandler) override;
    void stop() override;

    // How the capture time of a picture is decided: its time stamp when plausible, else the arrival.
    struct CaptureTime {
        uint64_t time = 0;
        bool repaired = false;
        // How old the stamp was at arrival; negative when it lies ahead.
        double ageMs = 0;
    };
    static CaptureTime captureTime(uint64_t timestamp, uint64_t now);

    // What start configured (for status and tests): the rate that was set, 0 when the device kept its own
    // mode. Read on any thread once a start has completed.
    double activeFrameRate() const { return activeFrameRate_.load(); }

  private:
    struct Shared;

    CaptureDeviceSource(CaptureDevice device, std::optional<VideoDimensions> targetDimensions,
                        std::optional<int> targetFrameRate, std::shared_ptr<V4L2Interface> system,
                        Clock clock);

    void startOnSessionQueue(FrameHandler frameHandler, FailureHandler failureHandler);
    void stopOnSessionQueue();
    // An open, streaming device and how to read it.
    struct Configured {
        std::unique_ptr<V4L2Capture> capture;
        V4L2Capture::Format format;
        // Set when pictures are to be fitted into a requested size the device does not deliver.
        std::optional<VideoDimensions> outputSize;
    };

    // Opens and configures the device and starts streaming; throws CaptureError.
    Configured configure();
    static void captureLoop(std::shared_ptr<Shared> shared, Configured configured,
                            std::weak_ptr<CaptureDeviceSource> owner);
    void reportFromCaptureQueue(const CaptureError& error);

    const CaptureDevice device_;
    const std::optional<VideoDimensions> targetDimensions_;
    const std::optional<int> targetFrameRate_;
    const std::shared_ptr<V4L2Interface> system_;
    std::atomic<double> activeFrameRate_{0};
    // Only touched on the session queue.
    FailureHandler failureHandler_;
    // What the capture loop shares with the source: the frame handler, the stop request and its wake-up.
    std::shared_ptr<Shared> shared_;
    // Declared last so that they are gone (their threads joined) before anything they use.
    std::unique_ptr<SerialQueue> outputQueue_;
    std::unique_ptr<SerialQueue> sessionQueue_;
};

}  // namespace kelvora
