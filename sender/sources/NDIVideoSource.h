#pragma once

#include "core/MonotonicClock.h"
#include "sender/sources/NDIRuntime.h"
#include "sender/sources/NDISourceError.h"
#include "sender/sources/VideoSource.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kelvora {

// The video source of one NDI source on the network. Each `start` runs a receive thread, "NDI-Empfang",
// that connects through the NDI runtime, converts every received picture into a pooled NV12 buffer of the
// picture's own size and delivers it; it ends when the source is stopped or released (within one capture
// timeout of 100 ms), when the connection cannot be made, or when the runtime reports it lost.
//
// Threads: `start` and `stop` may be called from any thread and return at once. Frames and failures come
// on the receive thread; only the missing runtime is reported at once, on the caller's thread. After
// `stop`, the picture in hand may still be delivered.
class NDIVideoSource final : public VideoSource {
  public:
    static std::shared_ptr<NDIVideoSource> create(
        std::string ndiName, std::shared_ptr<const NDIRuntime> runtime = NDIRuntime::shared(),
        Clock clock = MonotonicClock::system());
    ~NDIVideoSource() override;
    NDIVideoSource(const NDIVideoSource&) = delete;
    NDIVideoSource& operator=(const NDIVideoSource&) = delete;

    // The NDI name inside a source id: what follows "ndi:"; nothing for ids of other kinds.
    static std::optional<std::string> ndiName(const std::string& sourceID);

    // "NDI: " and the NDI name.
    std::string name() const override { return "NDI: " + ndiName_; }
    // "ndi:" and the NDI name.
    std::string identifier() const override { return "ndi:" + ndiName_; }
    const std::string& ndiName() const { return ndiName_; }

    void start(FrameHandler frameHandler, FailureHandler failureHandler) override;
    void stop() override;

    // The name this program gives its receivers on the network.
    static constexpr const char* kReceiverName = "Kelvora";
    static constexpr uint32_t kCaptureTimeoutMs = 100;

  private:
    // Whether the receive threads go on; shared with them, so that a released source ends them too.
    struct RunState {
        std::mutex mutex;
        bool running = false;

        bool isRunning() {
            std::lock_guard lock(mutex);
            return running;
        }
    };

    NDIVideoSource(std::string ndiName, std::shared_ptr<const NDIRuntime> runtime, Clock clock)
        : ndiName_(std::move(ndiName)), runtime_(std::move(runtime)), clock_(std::move(clock)) {}

    static void receiveLoop(std::shared_ptr<RunState> state, std::shared_ptr<const NDIRuntime> runtime,
                            std::string ndiName, Clock clock, FrameHandler frameHandler,
                            FailureHandler failureHandler);

    const std::string ndiName_;
    const std::shared_ptr<const NDIRuntime> runtime_;
    const Clock clock_;
    const std::shared_ptr<RunState> state_ = std::make_shared<RunState>();
};

}  // namespace kelvora
