#include "FakeV4L2.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvora::testing {

namespace {

void copyText(__u8* target, size_t size, const std::string& text) {
    std::memset(target, 0, size);
    std::memcpy(target, text.data(), std::min(text.size(), size - 1));
}

constexpr off_t kOffsetStep = 1 << 24;

}  // namespace

FakeV4L2::FakeV4L2(std::vector<Size> sizes, std::string path)
    : sizes_(std::move(sizes)), path_(std::move(path)) {
    if (!sizes_.empty()) {
        format_ =
            describe(sizes_.front().pixelFormat, sizes_.front().width, sizes_.front().height, rowPadding);
    }
}

FakeV4L2::~FakeV4L2() {
    for (int fd : fds_) {
        ::close(fd);
    }
}

v4l2_pix_format FakeV4L2::describe(uint32_t pixelFormat, int width, int height, int rowPadding) {
    v4l2_pix_format format{};
    format.pixelformat = pixelFormat;
    format.width = static_cast<uint32_t>(width);
    format.height = static_cast<uint32_t>(height);
    format.field = V4L2_FIELD_NONE;
    format.colorspace = V4L2_COLORSPACE_SRGB;
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
            format.bytesperline = static_cast<uint32_t>(width * 2);
            format.sizeimage = format.bytesperline * static_cast<uint32_t>(height);
            break;
        case V4L2_PIX_FMT_NV12:
            format.bytesperline = static_cast<uint32_t>(width + rowPadding);
            format.sizeimage = format.bytesperline * static_cast<uint32_t>(height + (height + 1) / 2);
            break;
        default:
            format.bytesperline = 0;
            format.sizeimage = static_cast<uint32_t>(width * height * 2);
            break;
    }
    return format;
}

void FakeV4L2::setOpenError(int errorNumber) {
    std::lock_guard lock(mutex_);
    openError_ = errorNumber;
}

void FakeV4L2::setFormatError(int errorNumber) {
    std::lock_guard lock(mutex_);
    formatError_ = errorNumber;
}

void FakeV4L2::vanish() {
    std::lock_guard lock(mutex_);
    present_ = false;
    for (int fd : fds_) {
        signal(fd);
    }
    changed_.notify_all();
}

void FakeV4L2::reappear() {
    std::lock_guard lock(mutex_);
    present_ = true;
    changed_.notify_all();
}

bool FakeV4L2::pushFrame(const std::vector<uint8_t>& bytes, timeval timestamp) {
    std::lock_guard lock(mutex_);
    if (!present_ || !streaming_ || queued_.empty()) {
        return false;
    }
    const uint32_t index = queued_.front();
    queued_.pop_front();
    Buffer& buffer = buffers_[index];
    const size_t size = std::min(bytes.size(), buffer.memory.size());
    std::memcpy(buffer.memory.data(), bytes.data(), size);
    buffer.bytesUsed = static_cast<uint32_t>(size);
    buffer.timestamp = timestamp;
    buffer.queued = false;
    done_.push_back(index);
    signal(streamingFd_);
    return true;
}

bool FakeV4L2::pushFrame(const std::vector<uint8_t>& bytes) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return pushFrame(bytes, timeval{now.tv_sec, now.tv_nsec / 1000});
}

bool FakeV4L2::waitUntilStreaming(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return streaming_ && !queued_.empty(); });
}

bool FakeV4L2::waitUntilReleased(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] {
        return fds_.empty() &&
               std::none_of(buffers_.begin(), buffers_.end(), [](const Buffer& b) { return b.mapped; });
    });
}

bool FakeV4L2::waitUntilAllQueued(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit,
                             [this] { return queued_.size() == buffers_.size() && !buffers_.empty(); });
}

int FakeV4L2::openDescriptors() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(fds_.size());
}

int FakeV4L2::mappedBuffers() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(buffers_.begin(), buffers_.end(), [](const Buffer& b) { return b.mapped; }));
}

bool FakeV4L2::streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

v4l2_pix_format FakeV4L2::currentFormat() const {
    std::lock_guard lock(mutex_);
    return format_;
}

std::optional<v4l2_fract> FakeV4L2::setFrameDuration() const {
    std::lock_guard lock(mutex_);
    return duration_;
}

int FakeV4L2::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

int FakeV4L2::open(const std::string& path, int /*flags*/) {
    std::lock_guard lock(mutex_);
    if (path != path_ || !present_) {
        errno = ENOENT;
        return -1;
    }
    if (openError_ != 0) {
        errno = openError_;
        return -1;
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    fds_.insert(fd);
    ++opens_;
    changed_.notify_all();
    return fd;
}

int FakeV4L2::close(int fd) {
    std::lock_guard lock(mutex_);
    if (fds_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    if (fd == streamingFd_) {
        streaming_ = false;
        streamingFd_ = -1;
    }
    ::close(fd);
    changed_.notify_all();
    return 0;
}

void FakeV4L2::signal(int fd) {
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    }
}

int FakeV4L2::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex_);
    if (fds_.count(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    if (!present_) {
        errno = ENODEV;
        return -1;
    }
    const int result = handle(fd, request, argument);
    changed_.notify_all();
    return result;
}

int FakeV4L2::handle(int fd, unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            copyText(capability->driver, sizeof capability->driver, "fake");
            copyText(capability->card, sizeof capability->card, card);
            copyText(capability->bus_info, sizeof capability->bus_info, busInfo);
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
                errno = EINVAL;
                return -1;
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
            errno = EINVAL;
            return -1;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(argument);
            for (const Size& known : sizes_) {
                if (known.pixelFormat != interval->pixel_format ||
                    known.width != static_cast<int>(interval->width) ||
                    known.height != static_cast<int>(interval->height)) {
                    continue;
                }
                if (known.intervalSpan) {
                    if (interval->index != 0) {
                        break;
                    }
                    interval->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
                    interval->stepwise.min = known.intervalSpan->first;
                    interval->stepwise.max = known.intervalSpan->second;
                    interval->stepwise.step = {1, 1};
                    return 0;
                }
                if (interval->index < known.intervals.size()) {
                    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                    interval->discrete = known.intervals[interval->index];
                    return 0;
                }
                break;
            }
            errno = EINVAL;
            return -1;
        }
        case VIDIOC_G_PARM: {
            auto* parameters = static_cast<v4l2_streamparm*>(argument);
            parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parameters->parm.capture.timeperframe = duration_.value_or(v4l2_fract{1, 30});
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto* parameters = static_cast<v4l2_streamparm*>(argument);
            duration_ = parameters->parm.capture.timeperframe;
            return 0;
        }
        case VIDIOC_G_FMT:
            static_cast<v4l2_format*>(argument)->fmt.pix = format_;
            return 0;
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            if (request == VIDIOC_S_FMT && formatError_ != 0) {
                errno = formatError_;
                return -1;
            }
            if (streaming_ && request == VIDIOC_S_FMT) {
                errno = EBUSY;
                return -1;
            }
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            const Size* chosen = nullptr;
            for (const Size& known : sizes_) {
                if (known.pixelFormat == pix.pixelformat) {
                    if (chosen == nullptr || (known.width == static_cast<int>(pix.width) &&
                                              known.height == static_cast<int>(pix.height))) {
                        chosen = &known;
                    }
                }
            }
            if (chosen == nullptr) {
                chosen = &sizes_.front();
            }
            pix = describe(chosen->pixelFormat, chosen->width, chosen->height, rowPadding);
            if (request == VIDIOC_S_FMT) {
                format_ = pix;
            }
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* requestBuffers = static_cast<v4l2_requestbuffers*>(argument);
            if (streaming_) {
                errno = EBUSY;
                return -1;
            }
            buffers_.clear();
            queued_.clear();
            done_.clear();
            for (uint32_t index = 0; index < requestBuffers->count; ++index) {
                Buffer buffer;
                buffer.memory.assign(format_.sizeimage, 0);
                buffers_.push_back(std::move(buffer));
            }
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers_.size()) {
                errno = EINVAL;
                return -1;
            }
            buffer->length = static_cast<uint32_t>(buffers_[buffer->index].memory.size());
            buffer->m.offset = static_cast<uint32_t>(buffer->index * kOffsetStep);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers_.size() || buffers_[buffer->index].queued) {
                errno = EINVAL;
                return -1;
            }
            buffers_[buffer->index].queued = true;
            queued_.push_back(buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (done_.empty()) {
                errno = EAGAIN;
                return -1;
            }
            const uint32_t index = done_.front();
            done_.pop_front();
            uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
            buffer->index = index;
            buffer->bytesused = buffers_[index].bytesUsed;
            buffer->timestamp = buffers_[index].timestamp;
            buffer->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            return 0;
        }
        case VIDIOC_STREAMON:
            streaming_ = true;
            streamingFd_ = fd;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming_ = false;
            streamingFd_ = -1;
            for (Buffer& buffer : buffers_) {
                buffer.queued = false;
            }
            queued_.clear();
            done_.clear();
            return 0;
        default:
            errno = ENOTTY;
            return -1;
    }
}

void* FakeV4L2::mmap(size_t length, int /*protection*/, int /*flags*/, int fd, off_t offset) {
    std::lock_guard lock(mutex_);
    const auto index = static_cast<size_t>(offset / kOffsetStep);
    if (fds_.count(fd) == 0 || !present_ || index >= buffers_.size() ||
        length > buffers_[index].memory.size()) {
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
    const int result = ::poll(fds, count, timeoutMs);
    if (result < 0) {
        return result;
    }
    std::lock_guard lock(mutex_);
    int ready = result;
    for (nfds_t index = 0; index < count; ++index) {
        if (fds_.count(fds[index].fd) != 0 && !present_) {
            // An unplugged device reports an error, not pictures.
            if (fds[index].revents == 0) {
                ++ready;
            }
            fds[index].revents = POLLERR;
        }
    }
    return ready;
}

}  // namespace kelvora::testing
