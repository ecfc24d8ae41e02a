#include "sender/sources/CaptureDeviceSource.h"

#include "core/Log.h"
#include "sender/sources/CaptureFormat.h"
#include "sender/sources/CaptureFrameConverter.h"
#include "sender/sources/V4L2Capture.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace kelvora {

namespace {

constexpr uint32_t kBufferCount = 4;
// Only a safety net: a stop wakes the loop at once through the eventfd.
constexpr int kWaitMs = 1000;

bool usableSize(const VideoDimensions& size) {
    return size.width >= 1 && size.height >= 1 && size.width <= PixelBuffer::kMaximumDimension &&
           size.height <= PixelBuffer::kMaximumDimension;
}

}  // namespace

struct CaptureDeviceSource::Shared {
    explicit Shared(std::string name, Clock clock)
        : name(std::move(name)), clock(std::move(clock)), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Shared() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    void requestStop() {
        stopRequested = true;
        if (wakeFd >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
        }
    }

    const std::string name;
    const Clock clock;
    const int wakeFd;
    LockedHandler<SourceFrame> frameHandler;
    std::atomic<bool> stopRequested{false};
    // The first repaired time stamp is logged, later ones are not.
    std::atomic<bool> loggedClockMismatch{false};
};

std::shared_ptr<CaptureDeviceSource> CaptureDeviceSource::create(
    CaptureDevice device, std::optional<VideoDimensions> targetDimensions, std::optional<int> targetFrameRate,
    std::shared_ptr<V4L2Interface> system, Clock clock) {
    return std::shared_ptr<CaptureDeviceSource>(new CaptureDeviceSource(
        std::move(device), targetDimensions, targetFrameRate, std::move(system), std::move(clock)));
}

CaptureDeviceSource::CaptureDeviceSource(CaptureDevice device,
                                         std::optional<VideoDimensions> targetDimensions,
                                         std::optional<int> targetFrameRate,
                                         std::shared_ptr<V4L2Interface> system, Clock clock)
    : device_(std::move(device)),
      targetDimensions_(meaningfulCaptureTarget(targetDimensions)),
      targetFrameRate_(targetFrameRate),
      system_(std::move(system)),
      shared_(std::make_shared<Shared>(device_.name, std::move(clock))),
      outputQueue_(std::make_unique<SerialQueue>(SerialQueue::labelFor("capture.output"))),
      sessionQueue_(std::make_unique<SerialQueue>(SerialQueue::labelFor("capture.session"))) {}

CaptureDeviceSource::~CaptureDeviceSource() {
    // The capture loop may be waiting for the device: wake it so that the output queue can be joined; it
    // releases the device on its way out.
    shared_->requestStop();
    sessionQueue_.reset();
    outputQueue_.reset();
}

CaptureDeviceSource::CaptureTime CaptureDeviceSource::captureTime(uint64_t timestamp, uint64_t now) {
    CaptureTime result;
    result.ageMs = MonotonicClock::milliseconds(timestamp, now);
    if (result.ageMs >= -5 && result.ageMs <= 1000) {
        result.time = timestamp;
    } else {
        result.time = now;
        result.repaired = true;
    }
    return result;
}

void CaptureDeviceSource::start(FrameHandler frameHandler, FailureHandler failureHandler) {
    sessionQueue_->async([weak = weak_from_this(), frameHandler = std::move(frameHandler),
                          failureHandler = std::move(failureHandler)]() mutable {
        if (auto self = weak.lock()) {
            self->startOnSessionQueue(std::move(frameHandler), std::move(failureHandler));
        }
    });
}

void CaptureDeviceSource::stop() {
    sessionQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stopOnSessionQueue();
        }
    });
}

void CaptureDeviceSource::startOnSessionQueue(FrameHandler frameHandler, FailureHandler failureHandler) {
    shared_->frameHandler.set(std::move(frameHandler));
    failureHandler_ = std::move(failureHandler);
    if (shared_->stopRequested) {
        return;
    }
    Configured configured;
    try {
        configured = configure();
    } catch (const CaptureError& error) {
        Log::capture().error("Capture-Start fehlgeschlagen: {}", error.what());
        if (failureHandler_) {
            failureHandler_(error);
        }
        return;
    }
    Log::capture().info("Capture gestartet: {} @ {:f} fps", device_.name, activeFrameRate_.load());
    // The loop owns the device from here on; it holds the source only weakly, to report failures.
    auto owned = std::make_shared<Configured>(std::move(configured));
    outputQueue_->async(
        [shared = shared_, owned, weak = weak_from_this()] { captureLoop(shared, std::move(*owned), weak); });
}

void CaptureDeviceSource::stopOnSessionQueue() {
    shared_->requestStop();
    shared_->frameHandler.set(nullptr);
    failureHandler_ = nullptr;
}

CaptureDeviceSource::Configured CaptureDeviceSource::configure() {
    if (device_.devicePath.empty()) {
        throw CaptureError::deviceUnavailable();
    }
    std::unique_ptr<V4L2Capture> capture = V4L2Capture::open(system_, device_.devicePath);
    const V4L2Capture::Capabilities capabilities = capture->capabilities();
    // Device nodes are numbered as devices come: after a replug the same node may be another device.
    if (!device_.busInfo.empty() && capabilities.busInfo != device_.busInfo) {
        throw CaptureError::deviceUnavailable();
    }
    if (!capabilities.canCapture) {
        throw CaptureError::cannotAddInput();
    }

    const std::vector<CaptureFormat> formats =
        capture->formats(&CaptureFrameConverter::canConvert, targetDimensions_);
    V4L2Capture::Format format;
    if (const auto choice = chooseCaptureFormat(formats, targetDimensions_, targetFrameRate_)) {
        const CaptureFormat& chosen = formats[choice->formatIndex];
        format = capture->setFormat(chosen.pixelFormat, chosen.width, chosen.height);
        FrameDuration duration = choice->frameDuration;
        if (capabilities.canSetFrameRate) {
            if (const auto set = capture->setFrameDuration(choice->frameDuration)) {
                duration = *set;
            }
        }
        activeFrameRate_ = duration.seconds() > 0 ? 1 / duration.seconds() : 0;
    } else {
        format = capture->currentFormat();
    }
    if (!CaptureFrameConverter::canConvert(format.pixelFormat)) {
        throw CaptureError::cannotAddOutput();
    }
    Configured configured;
    configured.format = format;
    if (targetDimensions_ && usableSize(*targetDimensions_) &&
        (targetDimensions_->width != format.width || targetDimensions_->height != format.height)) {
        configured.outputSize = targetDimensions_;
    }
    capture->startStreaming(kBufferCount);
    configured.capture = std::move(capture);
    return configured;
}

void CaptureDeviceSource::captureLoop(std::shared_ptr<Shared> shared, Configured configured,
                                      std::weak_ptr<CaptureDeviceSource> owner) {
    CaptureFrameConverter converter(configured.outputSize);
    const V4L2Capture::Format format = configured.format;
    std::unique_ptr<V4L2Capture> capture = std::move(configured.capture);
    while (!shared->stopRequested) {
        const V4L2Capture::Readiness readiness = capture->wait(shared->wakeFd, kWaitMs);
        if (readiness == V4L2Capture::Readiness::woken || readiness == V4L2Capture::Readiness::timedOut) {
            continue;
        }
        try {
            const auto frame = capture->dequeueNewest();
            if (!frame) {
                if (readiness == V4L2Capture::Readiness::failed) {
                    // The driver flags the device without saying why: as good as gone.
                    throw CaptureError::runtime(CaptureError::deviceUnavailable().what());
                }
                continue;
            }
            const uint64_t now = shared->clock();
            const CaptureTime time = captureTime(MonotonicClock::nanoseconds(frame->timestamp), now);
            if (time.repaired && !shared->loggedClockMismatch.exchange(true)) {
                Log::capture().info("Zeitstempel von {} weicht um {} ms ab – nutze Ankunftszeit",
                                    shared->name, static_cast<long>(time.ageMs));
            }
            CapturedPicture picture;
            picture.pixelFormat = format.pixelFormat;
            picture.width = format.width;
            picture.height = format.height;
            picture.bytesPerLine = format.bytesPerLine;
            picture.data = frame->data;
            picture.size = frame->size;
            picture.fullRange = format.fullRange;
            picture.matrix = format.matrix;
            PixelBuffer buffer = converter.convert(picture);
            capture->requeue(*frame);
            if (buffer) {
                shared->frameHandler(SourceFrame{std::move(buffer), time.time, false});
            }
        } catch (const CaptureError& error) {
            // Nothing more will come from this device: let it go now rather than at stop.
            capture.reset();
            if (auto self = owner.lock()) {
                self->reportFromCaptureQueue(error);
            }
            return;
        }
    }
}

void CaptureDeviceSource::reportFromCaptureQueue(const CaptureError& error) {
    if (error.kind() == CaptureError::Kind::deviceUnavailable) {
        Log::capture().info("Gerät getrennt: {}", device_.name);
    } else {
        Log::capture().error("Capture-Laufzeitfehler: {}", error.cause().value_or(error.what()));
    }
    sessionQueue_->async([weak = weak_from_this(), error] {
        if (auto self = weak.lock()) {
            if (self->failureHandler_) {
                self->failureHandler_(error);
            }
        }
    });
}

}  // namespace kelvora
