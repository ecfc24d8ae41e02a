#include "sender/sources/NDIVideoSource.h"

#include "core/Log.h"
#include "sender/sources/NDIFrameConverter.h"

#include <pthread.h>

#include <thread>

namespace kelvora {

std::shared_ptr<NDIVideoSource> NDIVideoSource::create(std::string ndiName,
                                                       std::shared_ptr<const NDIRuntime> runtime,
                                                       Clock clock) {
    return std::shared_ptr<NDIVideoSource>(
        new NDIVideoSource(std::move(ndiName), std::move(runtime), std::move(clock)));
}

NDIVideoSource::~NDIVideoSource() {
    // A receive thread must not outlive its source: it would keep a connection open that nobody reads.
    std::lock_guard lock(state_->mutex);
    state_->running = false;
}

std::optional<std::string> NDIVideoSource::ndiName(const std::string& sourceID) {
    if (!sourceID.starts_with("ndi:")) {
        return std::nullopt;
    }
    return sourceID.substr(4);
}

void NDIVideoSource::start(FrameHandler frameHandler, FailureHandler failureHandler) {
    if (!runtime_->available()) {
        if (failureHandler) {
            failureHandler(NDISourceError::runtimeMissing());
        }
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->running = true;
    }
    std::thread([state = state_, runtime = runtime_, ndiName = ndiName_, clock = clock_,
                 frameHandler = std::move(frameHandler),
                 failureHandler = std::move(failureHandler)]() mutable {
        pthread_setname_np(pthread_self(), "NDI-Empfang");
        receiveLoop(std::move(state), std::move(runtime), std::move(ndiName), std::move(clock),
                    std::move(frameHandler), std::move(failureHandler));
    }).detach();
}

void NDIVideoSource::stop() {
    std::lock_guard lock(state_->mutex);
    state_->running = false;
}

void NDIVideoSource::receiveLoop(std::shared_ptr<RunState> state, std::shared_ptr<const NDIRuntime> runtime,
                                 std::string ndiName, Clock clock, FrameHandler frameHandler,
                                 FailureHandler failureHandler) {
    const auto fail = [&](const NDISourceError& error) {
        if (failureHandler) {
            failureHandler(error);
        }
    };
    const NDIFunctionTable* table = runtime->table();
    if (table == nullptr || !state->isRunning()) {
        return;
    }
    // Every entry the loop relies on must be there before a receiver exists that could not be closed.
    if (table->recvCreateV3 == nullptr || table->recvCaptureV3 == nullptr ||
        table->recvFreeVideoV2 == nullptr || table->recvDestroy == nullptr) {
        fail(NDISourceError::cannotConnect(ndiName));
        return;
    }
    NDIReceiverSettings settings{};
    settings.source = {ndiName.c_str(), nullptr};
    settings.colorFormat = ndi::kColorFormatUYVYOrBGRA;
    settings.bandwidth = ndi::kBandwidthHighest;
    settings.allowVideoFields = false;
    settings.receiverName = kReceiverName;
    NDIReceiver receiver = table->recvCreateV3(&settings);
    if (receiver == nullptr) {
        fail(NDISourceError::cannotConnect(ndiName));
        return;
    }
    Log::capture().info("NDI-Empfang gestartet: {}", ndiName);

    NDIFrameConverter converter;
    while (state->isRunning()) {
        NDIVideoFrame frame{};
        const int32_t type = table->recvCaptureV3(receiver, &frame, nullptr, nullptr, kCaptureTimeoutMs);
        if (type == ndi::kFrameTypeError) {
            fail(NDISourceError::connectionLost(ndiName));
            break;
        }
        if (type != ndi::kFrameTypeVideo) {
            continue;
        }
        const uint64_t captureTime = clock();
        PixelBuffer buffer = converter.convert(frame);
        table->recvFreeVideoV2(receiver, &frame);
        if (buffer && frameHandler) {
            frameHandler(SourceFrame{std::move(buffer), captureTime, false});
        }
    }
    table->recvDestroy(receiver);
}

}  // namespace kelvora
