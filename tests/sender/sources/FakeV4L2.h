#pragma once

#include "sender/sources/V4L2Interface.h"

#include <linux/videodev2.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelvora::testing {

// A scripted V4L2 capture device behind the system-call interface the capture source uses: it lists the
// formats it is given, takes a format and rate, hands out memory "mapped" buffers, fills them with the
// pictures a test pushes, and can vanish like an unplugged camera. Descriptors are real eventfds, so the
// source's poll works on them unchanged. Safe to use from the test and the source's queues at once.
class FakeV4L2 final : public V4L2Interface {
  public:
    struct Size {
        uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
        int width = 0;
        int height = 0;
        // Discrete frame intervals (seconds per picture), or...
        std::vector<v4l2_fract> intervals;
        // ...one span of intervals, shortest first.
        std::optional<std::pair<v4l2_fract, v4l2_fract>> intervalSpan;
    };

    explicit FakeV4L2(std::vector<Size> sizes, std::string path = "/dev/video7");
    ~FakeV4L2() override;

    // Script.
    std::string card = "Fake Cam";
    std::string busInfo = "usb-0000:00:14.0-3";
    uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    // Extra bytes at the end of every NV12 row.
    int rowPadding = 0;
    void setOpenError(int errorNumber);
    void setFormatError(int errorNumber);
    // Unplugged: every call on the device fails with ENODEV, waiting callers wake up.
    void vanish();
    void reappear();
    // Fills the oldest queued buffer and marks it done; false when no buffer is queued.
    bool pushFrame(const std::vector<uint8_t>& bytes, timeval timestamp);
    bool pushFrame(const std::vector<uint8_t>& bytes);

    // Inspection.
    bool waitUntilStreaming(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitUntilReleased(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until the consumer has handed back every buffer it took.
    bool waitUntilAllQueued(std::chrono::milliseconds limit = std::chrono::seconds(10));
    int openDescriptors() const;
    int mappedBuffers() const;
    bool streaming() const;
    v4l2_pix_format currentFormat() const;
    std::optional<v4l2_fract> setFrameDuration() const;
    int opens() const;

    // V4L2Interface
    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;

    // The bytes one picture of the current format takes, as the device reports them.
    static v4l2_pix_format describe(uint32_t pixelFormat, int width, int height, int rowPadding);

  private:
    struct Buffer {
        std::vector<uint8_t> memory;
        bool queued = false;
        bool mapped = false;
        uint32_t bytesUsed = 0;
        timeval timestamp{};
    };

    int handle(int fd, unsigned long request, void* argument);
    void signal(int fd);

    const std::vector<Size> sizes_;
    const std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool present_ = true;
    int openError_ = 0;
    int formatError_ = 0;
    std::set<int> fds_;
    int opens_ = 0;
    int streamingFd_ = -1;
    bool streaming_ = false;
    v4l2_pix_format format_{};
    std::optional<v4l2_fract> duration_;
    std::vector<Buffer> buffers_;
    std::deque<uint32_t> queued_;
    std::deque<uint32_t> done_;
};

}  // namespace kelvora::testing
