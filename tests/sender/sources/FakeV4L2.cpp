#include "FakeV4L2.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvora::testing {

namespace {

constexpr off_t kOffsetStep = 1 << 24;

void signal(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

}  // namespace

FakeV4L2::~FakeV4L2() {
    for (int fd : fds_) {
        ::close(fd);
    }
}

v4l2_pix_format FakeV4L2::describe(const Size& size) const {
    v4l2_pix_format format{};
    format.pixelformat = size.pixelFormat;
    format.width = static_cast<uint32_t>(size.width);
    format.height = static_cast<uint32_t>(size.height);
    format.colorspace = V4L2_COLORSPACE_SRGB;
    const auto rows = static_cast<uint32_t>(size.height);
    if (size.pixelFormat == V4L2_PIX_FMT_YUYV) {
        format.bytesperline = format.width * 2;
        format.sizeimage = format.bytesperline * rows;
    } else if (size.pixelFormat == V4L2_PIX_FMT_NV12) {
        format.bytesperline = format.width + static_cast<uint32_t>(rowPadding);
        format.sizeimage = format.bytesperline * (rows + (rows + 1) / 2);
    } else {
        format.sizeimage = format.width * rows * 2;
    }
    return format;
}

void FakeV4L2::vanish() {
    std::lock_guard lock(mutex_);
    present_ = false;
    std::for_each(fds_.begin(), fds_.end(), signal);
    changed_.notify_all();
}

void FakeV4L2::breakStream(int error) {
    std::lock_guard lock(mutex_);
    streamError_ = error;
    std::for_each(fds_.begin(), fds_.end(), signal);
    changed_.notify_all();
}

void FakeV4L2::reappear() {
    std::lock_guard lock(mutex_);
    present_ = true;
}

bool FakeV4L2::pushFrame(const std::vector<uint8_t>& bytes, std::optional<timeval> timestamp) {
    if (!timestamp) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timestamp = timeval{now.tv_sec, now.tv_nsec / 1000};
    }
    std::lock_guard lock(mutex_);
    if (!present_ || streamingFd_ < 0 || queued_.empty()) {
        return false;
    }
    Buffer& buffer = buffers_[queued_.front()];
    buffer.bytesUsed = static_cast<uint32_t>(std::min(bytes.size(), buffer.memory.size()));
    std::memcpy(buffer.memory.data(), bytes.data(), buffer.bytesUsed);
    buffer.timestamp = *timestamp;
    buffer.queued = false;
    done_.push_back(queued_.front());
    queued_.pop_front();
    signal(streamingFd_);
    return true;
}

bool FakeV4L2::waitUntilStreaming() {
    return waitFor([this] { return streamingFd_ >= 0 && !queued_.empty(); });
}

bool FakeV4L2::waitUntilReleased() {
    return waitFor([this] {
        return fds_.empty() &&
               std::none_of(buffers_.begin(), buffers_.end(), [](const Buffer& b) { return b.mapped; });
    });
}

bool FakeV4L2::waitUntilAllQueued() {
    return waitFor(
        [this] { return streamingFd_ >= 0 && !buffers_.empty() && queued_.size() == buffers_.size(); });
}

v4l2_pix_format FakeV4L2::currentFormat() const {
    std::lock_guard lock(mutex_);
    return format_.value_or(v4l2_pix_format{});
}

std::optional<v4l2_fract> FakeV4L2::frameDuration() const {
    std::lock_guard lock(mutex_);
    return duration_;
}

int FakeV4L2::open(const std::string& requested, int /*flags*/) {
    std::lock_guard lock(mutex_);
    errno = requested != path || !present_ ? ENOENT : openError;
    if (errno != 0) {
        return -1;
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    fds_.insert(fd);
    return fd;
}

int FakeV4L2::close(int fd) {
    std::lock_guard lock(mutex_);
    if (fds_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    if (fd == streamingFd_) {
        // Closing ends streaming and drops the buffers, as the kernel does.
        streamingFd_ = -1;
        queued_.clear();
        done_.clear();
    }
    ::close(fd);
    changed_.notify_all();
    return 0;
}

int FakeV4L2::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex_);
    errno = fds_.count(fd) == 0 ? EBADF : present_ ? 0 : ENODEV;
    const int result = errno == 0 ? handle(fd, request, argument) : -1;
    changed_.notify_all();
    return result;
}

int FakeV4L2::handle(int fd, unsigned long request, void* argument) {
    const auto fail = [](int error) {
        errno = error;
        return -1;
    };
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            std::strncpy(reinterpret_cast<char*>(capability->card), "Fake Cam", sizeof capability->card - 1);
            std::strncpy(reinterpret_cast<char*>(capability->bus_info), busInfo.c_str(),
                         sizeof capability->bus_info - 1);
            capability->device_caps = deviceCaps;
            capability->capabilities = deviceCaps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            std::vector<uint32_t> formats;
            for (const Size& size : sizes_) {
                if (std::find(formats.begin(), formats.end(), size.pixelFormat) == formats.end()) {
                    formats.push_back(size.pixelFormat);
                }
            }
            if (description->index >= formats.size()) {
                return fail(EINVAL);
            }
            description->pixelformat = formats[description->index];
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            uint32_t index = 0;
            for (const Size& known : sizes_) {
                if (known.pixelFormat == size->pixel_format && index++ == size->index) {
                    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                    size->discrete = {static_cast<uint32_t>(known.width),
                                      static_cast<uint32_t>(known.height)};
                    return 0;
                }
            }
            return fail(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(argument);
            for (const Size& known : sizes_) {
                if (known.pixelFormat == interval->pixel_format &&
                    known.width == static_cast<int>(interval->width) &&
                    known.height == static_cast<int>(interval->height) &&
                    interval->index < known.intervals.size()) {
                    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                    interval->discrete = known.intervals[interval->index];
                    return 0;
                }
            }
            return fail(EINVAL);
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto& capture = static_cast<v4l2_streamparm*>(argument)->parm.capture;
            if (request == VIDIOC_S_PARM) {
                duration_ = capture.timeperframe;
            }
            capture.capability = V4L2_CAP_TIMEPERFRAME;
            capture.timeperframe = duration_.value_or(v4l2_fract{1, 30});
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT: {
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            if (request == VIDIOC_S_FMT) {
                if (formatError != 0 || streamingFd_ >= 0) {
                    return fail(formatError != 0 ? formatError : EBUSY);
                }
                const auto match = std::find_if(sizes_.begin(), sizes_.end(), [&](const Size& size) {
                    return size.pixelFormat == pix.pixelformat && size.width == static_cast<int>(pix.width) &&
                           size.height == static_cast<int>(pix.height);
                });
                format_ = describe(match != sizes_.end() ? *match : sizes_.front());
            }
            pix = format_.value_or(describe(sizes_.front()));
            return 0;
        }
        case VIDIOC_REQBUFS: {
            buffers_.assign(static_cast<v4l2_requestbuffers*>(argument)->count, Buffer{});
            for (Buffer& buffer : buffers_) {
                buffer.memory.assign(format_.value_or(describe(sizes_.front())).sizeimage, 0);
            }
            queued_.clear();
            done_.clear();
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (request == VIDIOC_DQBUF) {
                if (streamError_.value_or(0) != 0) {
                    return fail(*streamError_);
                }
                if (done_.empty()) {
                    return fail(EAGAIN);
                }
                buffer->index = done_.front();
                done_.pop_front();
                uint64_t count = 0;
                [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
                buffer->bytesused = buffers_[buffer->index].bytesUsed;
                buffer->timestamp = buffers_[buffer->index].timestamp;
                return 0;
            }
            if (buffer->index >= buffers_.size()) {
                return fail(EINVAL);
            }
            Buffer& known = buffers_[buffer->index];
            if (request == VIDIOC_QUERYBUF) {
                buffer->length = static_cast<uint32_t>(known.memory.size());
                buffer->m.offset = static_cast<uint32_t>(buffer->index * kOffsetStep);
                return 0;
            }
            if (known.queued) {
                return fail(EINVAL);
            }
            known.queued = true;
            queued_.push_back(buffer->index);
            return 0;
        }
        case VIDIOC_STREAMON:
            streamingFd_ = fd;
            return 0;
        case VIDIOC_STREAMOFF:
            streamingFd_ = -1;
            return 0;
        default:
            return fail(ENOTTY);
    }
}

void* FakeV4L2::mmap(size_t length, int /*protection*/, int /*flags*/, int fd, off_t offset) {
    std::lock_guard lock(mutex_);
    const auto index = static_cast<size_t>(offset / kOffsetStep);
    if (fds_.count(fd) == 0 || index >= buffers_.size() || length > buffers_[index].memory.size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    buffers_[index].mapped = true;
    return buffers_[index].memory.data();
}

int FakeV4L2::munmap(void* address, size_t /*length*/) {
    std::lock_guard lock(mutex_);
    for (Buffer& buffer : buffers_) {
        if (buffer.memory.data() == address) {
            buffer.mapped = false;
            changed_.notify_all();
            return 0;
        }
    }
    errno = EINVAL;
    return -1;
}

int FakeV4L2::poll(pollfd* fds, nfds_t count, int timeoutMs) {
    int ready = ::poll(fds, count, timeoutMs);
    std::lock_guard lock(mutex_);
    for (nfds_t index = 0; ready >= 0 && index < count; ++index) {
        if (fds_.count(fds[index].fd) != 0 && (!present_ || streamError_)) {
            // An unplugged device reports an error, not pictures.
            ready += fds[index].revents == 0 ? 1 : 0;
            fds[index].revents = POLLERR;
        }
    }
    return ready;
}

}  // namespace kelvora::testing
