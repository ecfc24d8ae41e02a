#pragma once

#include "sender/sources/V4L2Interface.h"

#include <linux/videodev2.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelvora::testing {

// A scripted V4L2 capture device behind the system-call interface the capture source uses: it lists the
// sizes it is given, takes a format and rate, hands out "mapped" buffers, fills them with the pictures a
// test pushes, and can vanish like an unplugged camera. Descriptors are real eventfds, so the source's
// poll works on them unchanged. The public fields are set before the device is used; everything else is
// safe to call from the test and the source's queues at once.
class FakeV4L2 final : public V4L2Interface {
  public:
    struct Size {
        uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
        int width = 0;
        int height = 0;
        std::vector<v4l2_fract> intervals;
    };

    explicit FakeV4L2(std::vector<Size> sizes) : sizes_(std::move(sizes)) {}
    ~FakeV4L2() override;

    std::string path = "/dev/video7";
    std::string busInfo = "usb-0000:00:14.0-3";
    uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    // Extra bytes at the end of every NV12 row.
    int rowPadding = 0;
    int openError = 0;
    int formatError = 0;

    // Unplugged: every call on the device fails with ENODEV and waiting callers wake up.
    void vanish();
    void reappear();
    // The driver flags an error while the device stays plugged in: poll reports POLLERR, and dequeuing
    // fails with `error`, or finds nothing when it is 0 (the driver gives no reason).
    void breakStream(int error);
    // Fills the oldest queued buffer; false when none is queued. Without a stamp: now.
    bool pushFrame(const std::vector<uint8_t>& bytes, std::optional<timeval> timestamp = std::nullopt);

    bool waitUntilStreaming();
    // No descriptor open and no buffer mapped.
    bool waitUntilReleased();
    // Streaming, and the consumer has handed back every buffer it took.
    bool waitUntilAllQueued();
    v4l2_pix_format currentFormat() const;
    std::optional<v4l2_fract> frameDuration() const;

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;

  private:
    struct Buffer {
        std::vector<uint8_t> memory;
        bool queued = false;
        bool mapped = false;
        uint32_t bytesUsed = 0;
        timeval timestamp{};
    };

    int handle(int fd, unsigned long request, void* argument);
    v4l2_pix_format describe(const Size& size) const;
    template <typename Condition>
    bool waitFor(Condition condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), condition);
    }

    const std::vector<Size> sizes_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool present_ = true;
    std::optional<int> streamError_;
    std::set<int> fds_;
    int streamingFd_ = -1;
    std::optional<v4l2_pix_format> format_;
    std::optional<v4l2_fract> duration_;
    std::vector<Buffer> buffers_;
    std::deque<uint32_t> queued_;
    std::deque<uint32_t> done_;
};

}  // namespace kelvora::testing
