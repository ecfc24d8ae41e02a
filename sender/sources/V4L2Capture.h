#pragma once

#include "core/VideoDimensions.h"
#include "platform/PixelTransfer.h"
#include "sender/sources/CaptureFormat.h"
#include "sender/sources/V4L2Interface.h"

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// One open V4L2 capture device with its memory-mapped buffers. Every failure throws CaptureError. Closing
// (the destructor) stops streaming, unmaps the buffers and closes the device, whatever state it is in, a
// vanished device included. Used by one thread at a time.
class V4L2Capture {
  public:
    struct Capabilities {
        std::string driver;
        std::string card;
        std::string busInfo;
        // Single-planar video capture with streaming I/O, the only kind read here.
        bool canCapture = false;
        bool canSetFrameRate = false;
    };

    // What the device delivers after configuration.
    struct Format {
        uint32_t pixelFormat = 0;
        int width = 0;
        int height = 0;
        int bytesPerLine = 0;
        bool fullRange = false;
        ColorMatrix matrix = ColorMatrix::bt601;
    };

    // A filled buffer, valid until it is handed back with `requeue`.
    struct Frame {
        uint32_t index = 0;
        const uint8_t* data = nullptr;
        size_t size = 0;
        timeval timestamp{};
    };

    // `failed`: the device signals an error rather than a picture (it was unplugged, or its driver gave
    // up); `dequeueNewest` then tells which.
    enum class Readiness { frame, failed, woken, timedOut };

    // Opens the node; a node that is gone gives `deviceUnavailable`, any other refusal `cannotAddInput`
    // with the system's reason.
    static std::unique_ptr<V4L2Capture> open(std::shared_ptr<V4L2Interface> system, const std::string& path);
    ~V4L2Capture();
    V4L2Capture(const V4L2Capture&) = delete;
    V4L2Capture& operator=(const V4L2Capture&) = delete;

    Capabilities capabilities();

    // Every size and rate the device offers in the layouts `accept` takes, in the device's order. A
    // size span contributes its largest and smallest size, and `preferred` fitted into it when given.
    std::vector<CaptureFormat> formats(const std::function<bool(uint32_t)>& accept,
                                       std::optional<VideoDimensions> preferred);

    Format setFormat(uint32_t pixelFormat, int width, int height);
    Format currentFormat();
    // Fixes the rate; returns the duration the driver settled on, nothing when it cannot set rates.
    std::optional<FrameDuration> setFrameDuration(FrameDuration duration);

    void startStreaming(uint32_t bufferCount);

    // Waits until a picture is ready, `wakeFd` (an eventfd of the caller's) becomes readable, or the time
    // is up.
    Readiness wait(int wakeFd, int timeoutMs);
    // The newest filled buffer, handing older ones straight back (late pictures are dropped rather than
    // queued up); nothing when none is filled. A vanished device throws `deviceUnavailable`, another
    // failure `runtime`. Buffers the driver marks as damaged are handed back and skipped.
    std::optional<Frame> dequeueNewest();
    void requeue(const Frame& frame);

  private:
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };

    V4L2Capture(std::shared_ptr<V4L2Interface> system, int fd) : system_(std::move(system)), fd_(fd) {}
    // Throws for a failed queue operation: `deviceUnavailable` for a vanished device, else `runtime`.
    [[noreturn]] void throwStreamingError(int errorNumber);
    Format formatFrom(const void* v4l2Format) const;
    std::vector<FrameRateRange> frameRates(uint32_t pixelFormat, int width, int height);

    std::shared_ptr<V4L2Interface> system_;
    int fd_ = -1;
    std::vector<Mapping> mappings_;
    bool streaming_ = false;
};

}  // namespace kelvora
