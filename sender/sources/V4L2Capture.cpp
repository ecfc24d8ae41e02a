#include "sender/sources/V4L2Capture.h"

#include "sender/sources/CaptureError.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvora {

namespace {

std::string text(const __u8* bytes, size_t size) {
    const auto* begin = reinterpret_cast<const char*>(bytes);
    return std::string(begin, strnlen(begin, size));
}

bool vanished(int errorNumber) {
    return errorNumber == ENODEV || errorNumber == ENXIO || errorNumber == ENOENT;
}

// A size inside a span of sizes, on its grid.
int snapInto(int value, uint32_t minimum, uint32_t maximum, uint32_t step) {
    const int64_t low = minimum;
    const int64_t high = std::max(minimum, maximum);
    int64_t clamped = std::clamp<int64_t>(value, low, high);
    if (step > 1) {
        clamped = low + (clamped - low) / step * step;
    }
    return static_cast<int>(clamped);
}

FrameRateRange rangeBetween(const v4l2_fract& shortest, const v4l2_fract& longest) {
    FrameRateRange range;
    range.minimumFrameDuration = {shortest.numerator, shortest.denominator};
    range.maximumRate = range.minimumFrameDuration.rate();
    range.minimumRate = FrameDuration{longest.numerator, longest.denominator}.rate();
    return range;
}

}  // namespace

std::unique_ptr<V4L2Capture> V4L2Capture::open(std::shared_ptr<V4L2Interface> system,
                                               const std::string& path) {
    // Non-blocking, so that dequeuing never stalls the capture queue: waiting happens in `wait`.
    const int fd = system->open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (vanished(error)) {
            throw CaptureError::deviceUnavailable();
        }
        throw CaptureError::cannotAddInput(CaptureError::systemErrorText(error));
    }
    return std::unique_ptr<V4L2Capture>(new V4L2Capture(std::move(system), fd));
}

V4L2Capture::~V4L2Capture() {
    if (streaming_) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        system_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
    for (const Mapping& mapping : mappings_) {
        system_->munmap(mapping.address, mapping.length);
    }
    if (!mappings_.empty()) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        system_->ioctl(fd_, VIDIOC_REQBUFS, &request);
    }
    system_->close(fd_);
}

V4L2Capture::Capabilities V4L2Capture::capabilities() {
    v4l2_capability capability{};
    if (system_->ioctl(fd_, VIDIOC_QUERYCAP, &capability) < 0) {
        const int error = errno;
        if (vanished(error)) {
            throw CaptureError::deviceUnavailable();
        }
        // Not a V4L2 device at all.
        throw CaptureError::cannotAddInput();
    }
    Capabilities result;
    result.driver = text(capability.driver, sizeof capability.driver);
    result.card = text(capability.card, sizeof capability.card);
    result.busInfo = text(capability.bus_info, sizeof capability.bus_info);
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                                : capability.capabilities;
    result.canCapture = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;

    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    result.canSetFrameRate = system_->ioctl(fd_, VIDIOC_G_PARM, &parameters) == 0 &&
                             (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0;
    return result;
}

std::vector<FrameRateRange> V4L2Capture::frameRates(uint32_t pixelFormat, int width, int height) {
    std::vector<FrameRateRange> ranges;
    for (uint32_t index = 0;; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelFormat;
        interval.width = static_cast<uint32_t>(width);
        interval.height = static_cast<uint32_t>(height);
        if (system_->ioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0) {
            break;
        }
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (interval.discrete.numerator > 0 && interval.discrete.denominator > 0) {
                ranges.push_back(rangeBetween(interval.discrete, interval.discrete));
            }
        } else {
            if (interval.stepwise.min.numerator > 0 && interval.stepwise.min.denominator > 0 &&
                interval.stepwise.max.numerator > 0 && interval.stepwise.max.denominator > 0) {
                ranges.push_back(rangeBetween(interval.stepwise.min, interval.stepwise.max));
            }
            break;
        }
    }
    if (ranges.empty()) {
        // Drivers that do not list their rates still run at the rate they are set to; take that one.
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        const v4l2_fract current = system_->ioctl(fd_, VIDIOC_G_PARM, &parameters) == 0 &&
                                           parameters.parm.capture.timeperframe.numerator > 0 &&
                                           parameters.parm.capture.timeperframe.denominator > 0
                                       ? parameters.parm.capture.timeperframe
                                       : v4l2_fract{1, 30};
        ranges.push_back(rangeBetween(current, current));
    }
    return ranges;
}

std::vector<CaptureFormat> V4L2Capture::formats(const std::function<bool(uint32_t)>& accept,
                                                std::optional<VideoDimensions> preferred) {
    std::vector<CaptureFormat> result;
    const auto add = [&](uint32_t pixelFormat, int width, int height) {
        if (width < 1 || height < 1) {
            return;
        }
        for (const auto& known : result) {
            if (known.pixelFormat == pixelFormat && known.width == width && known.height == height) {
                return;
            }
        }
        result.push_back({pixelFormat, width, height, frameRates(pixelFormat, width, height)});
    };
    for (uint32_t formatIndex = 0;; ++formatIndex) {
        v4l2_fmtdesc description{};
        description.index = formatIndex;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (system_->ioctl(fd_, VIDIOC_ENUM_FMT, &description) < 0) {
            if (vanished(errno)) {
                throw CaptureError::deviceUnavailable();
            }
            break;
        }
        if (!accept(description.pixelformat)) {
            continue;
        }
        bool listed = false;
        for (uint32_t sizeIndex = 0;; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = description.pixelformat;
            if (system_->ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) < 0) {
                break;
            }
            listed = true;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                add(description.pixelformat, static_cast<int>(size.discrete.width),
                    static_cast<int>(size.discrete.height));
                continue;
            }
            const v4l2_frmsize_stepwise& span = size.stepwise;
            add(description.pixelformat, static_cast<int>(span.max_width), static_cast<int>(span.max_height));
            if (preferred) {
                add(description.pixelformat,
                    snapInto(preferred->width, span.min_width, span.max_width, span.step_width),
                    snapInto(preferred->height, span.min_height, span.max_height, span.step_height));
            }
            add(description.pixelformat, static_cast<int>(span.min_width), static_cast<int>(span.min_height));
            break;
        }
        if (!listed) {
            // No size list: ask what the largest picture of this layout would be.
            v4l2_format probe{};
            probe.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            probe.fmt.pix.pixelformat = description.pixelformat;
            probe.fmt.pix.width = 3840;
            probe.fmt.pix.height = 2160;
            probe.fmt.pix.field = V4L2_FIELD_ANY;
            if (system_->ioctl(fd_, VIDIOC_TRY_FMT, &probe) == 0 &&
                probe.fmt.pix.pixelformat == description.pixelformat) {
                add(description.pixelformat, static_cast<int>(probe.fmt.pix.width),
                    static_cast<int>(probe.fmt.pix.height));
            }
        }
    }
    return result;
}

V4L2Capture::Format V4L2Capture::formatFrom(const void* v4l2Format) const {
    const auto& pix = static_cast<const v4l2_format*>(v4l2Format)->fmt.pix;
    Format format;
    format.pixelFormat = pix.pixelformat;
    format.width = static_cast<int>(pix.width);
    format.height = static_cast<int>(pix.height);
    format.bytesPerLine = static_cast<int>(pix.bytesperline);
    const auto colorspace = static_cast<v4l2_colorspace>(pix.colorspace);
    // The encoding and quantization fields only mean something when the driver says it filled them.
    const bool extended = pix.priv == V4L2_PIX_FMT_PRIV_MAGIC;
    auto encoding = extended ? static_cast<v4l2_ycbcr_encoding>(pix.ycbcr_enc) : V4L2_YCBCR_ENC_DEFAULT;
    if (encoding == V4L2_YCBCR_ENC_DEFAULT) {
        encoding = static_cast<v4l2_ycbcr_encoding>(V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace));
    }
    auto quantization =
        extended ? static_cast<v4l2_quantization>(pix.quantization) : V4L2_QUANTIZATION_DEFAULT;
    if (quantization == V4L2_QUANTIZATION_DEFAULT) {
        quantization =
            static_cast<v4l2_quantization>(V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, encoding));
    }
    format.fullRange = quantization == V4L2_QUANTIZATION_FULL_RANGE;
    format.matrix = encoding == V4L2_YCBCR_ENC_709 ? ColorMatrix::bt709 : ColorMatrix::bt601;
    return format;
}

V4L2Capture::Format V4L2Capture::setFormat(uint32_t pixelFormat, int width, int height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.width = static_cast<uint32_t>(width);
    format.fmt.pix.height = static_cast<uint32_t>(height);
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (system_->ioctl(fd_, VIDIOC_S_FMT, &format) < 0) {
        const int error = errno;
        if (vanished(error)) {
            throw CaptureError::deviceUnavailable();
        }
        throw CaptureError::system(error);
    }
    return formatFrom(&format);
}

V4L2Capture::Format V4L2Capture::currentFormat() {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system_->ioctl(fd_, VIDIOC_G_FMT, &format) < 0) {
        const int error = errno;
        if (vanished(error)) {
            throw CaptureError::deviceUnavailable();
        }
        throw CaptureError::system(error);
    }
    return formatFrom(&format);
}

std::optional<FrameDuration> V4L2Capture::setFrameDuration(FrameDuration duration) {
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe = {duration.numerator, duration.denominator};
    if (system_->ioctl(fd_, VIDIOC_S_PARM, &parameters) < 0) {
        const int error = errno;
        if (vanished(error)) {
            throw CaptureError::deviceUnavailable();
        }
        if (error == ENOTTY || error == EINVAL) {
            return std::nullopt;
        }
        throw CaptureError::system(error);
    }
    const v4l2_fract set = parameters.parm.capture.timeperframe;
    if (set.numerator == 0 || set.denominator == 0) {
        return duration;
    }
    return FrameDuration{set.numerator, set.denominator};
}

void V4L2Capture::startStreaming(uint32_t bufferCount) {
    v4l2_requestbuffers request{};
    request.count = bufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (system_->ioctl(fd_, VIDIOC_REQBUFS, &request) < 0) {
        if (vanished(errno)) {
            throw CaptureError::deviceUnavailable();
        }
        throw CaptureError::cannotAddOutput();
    }
    if (request.count < 2) {
        throw CaptureError::cannotAddOutput();
    }
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (system_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) < 0) {
            throw CaptureError::cannotAddOutput();
        }
        void* address = system_->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                                      static_cast<off_t>(buffer.m.offset));
        if (address == MAP_FAILED) {
            throw CaptureError::cannotAddOutput();
        }
        mappings_.push_back({address, buffer.length});
    }
    for (uint32_t index = 0; index < mappings_.size(); ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (system_->ioctl(fd_, VIDIOC_QBUF, &buffer) < 0) {
            throwStreamingError(errno);
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system_->ioctl(fd_, VIDIOC_STREAMON, &type) < 0) {
        throwStreamingError(errno);
    }
    streaming_ = true;
}

V4L2Capture::Readiness V4L2Capture::wait(int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int count = system_->poll(fds, 2, timeoutMs);
    if (count < 0) {
        return errno == EINTR ? Readiness::timedOut : Readiness::failed;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return Readiness::woken;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        return Readiness::frame;
    }
    return fds[0].revents != 0 ? Readiness::failed : Readiness::timedOut;
}

std::optional<V4L2Capture::Frame> V4L2Capture::dequeueNewest() {
    std::optional<Frame> newest;
    for (;;) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (system_->ioctl(fd_, VIDIOC_DQBUF, &buffer) < 0) {
            const int error = errno;
            if (error == EAGAIN) {
                return newest;
            }
            if (newest) {
                requeue(*newest);
            }
            throwStreamingError(error);
        }
        if (buffer.index >= mappings_.size()) {
            throwStreamingError(EINVAL);
        }
        if (newest) {
            requeue(*newest);
            newest.reset();
        }
        const Mapping& mapping = mappings_[buffer.index];
        Frame frame;
        frame.index = buffer.index;
        frame.data = static_cast<const uint8_t*>(mapping.address);
        // Never more than the mapping holds, whatever the driver claims.
        frame.size = std::min<size_t>(buffer.bytesused, mapping.length);
        frame.timestamp = buffer.timestamp;
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0 || frame.size == 0) {
            requeue(frame);
            continue;
        }
        newest = frame;
    }
}

void V4L2Capture::requeue(const Frame& frame) {
    v4l2_buffer buffer{};
    buffer.index = frame.index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (system_->ioctl(fd_, VIDIOC_QBUF, &buffer) < 0) {
        throwStreamingError(errno);
    }
}

void V4L2Capture::throwStreamingError(int errorNumber) {
    if (vanished(errorNumber)) {
        throw CaptureError::deviceUnavailable();
    }
    throw CaptureError::runtime(CaptureError::systemErrorText(errorNumber));
}

}  // namespace kelvora
