#pragma once

#include "core/LockedHandler.h"
#include "sender/sources/NDIRuntime.h"
#include "sender/sources/NDISourceInfo.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kelvora {

// Finds the NDI sources on the network and reports the sorted list (a file browser's order of names)
// whenever it changes: a different count or any name at a different place. An unchanged set in another
// order is no change.
//
// Discovery runs on a thread of its own, "NDI-Suche", one cycle about every second. When the runtime
// cannot create its finder, that is logged and tried again after `finderRetryDelay`, for as long as the
// browser runs. Without a runtime `start` does nothing.
//
// Threads: `start` and `stop` may be called from any thread; `onChange` is called on "NDI-Suche" and the
// owner hops to its own thread. The thread holds the browser weakly: releasing the browser ends discovery
// after the cycle in hand, as `stop` does. A new run after `stop` reports its first list even when it
// equals the last one of the previous run.
class NDISourceBrowser : public std::enable_shared_from_this<NDISourceBrowser> {
  public:
    using ChangeHandler = std::function<void(const std::vector<NDISourceInfo>&)>;

    static constexpr std::chrono::milliseconds kFinderRetryDelay{5000};

    static std::shared_ptr<NDISourceBrowser> create(
        std::shared_ptr<const NDIRuntime> runtime = NDIRuntime::shared(),
        std::chrono::milliseconds finderRetryDelay = kFinderRetryDelay);
    ~NDISourceBrowser();
    NDISourceBrowser(const NDISourceBrowser&) = delete;
    NDISourceBrowser& operator=(const NDISourceBrowser&) = delete;

    // Set before `start`.
    void setOnChange(ChangeHandler handler) { onChange_.set(std::move(handler)); }
    void start();
    void stop();
    bool isRunning() const;

    // The reported form of a runtime's listing: records without a name left out, names made valid UTF-8,
    // sorted by name.
    static std::vector<NDISourceInfo> listFrom(const NDISourceRecord* records, uint32_t count);

  private:
    NDISourceBrowser(std::shared_ptr<const NDIRuntime> runtime, std::chrono::milliseconds finderRetryDelay)
        : runtime_(std::move(runtime)), finderRetryDelay_(finderRetryDelay) {}

    static void discoveryLoop(std::weak_ptr<NDISourceBrowser> weak, std::shared_ptr<const NDIRuntime> runtime,
                              uint64_t run, std::chrono::milliseconds retryDelay);
    bool isRunning(uint64_t run) const;
    // Waits `delay` unless the run ends first; returns whether it still goes on.
    bool waitWhileRunning(uint64_t run, std::chrono::milliseconds delay);

    const std::shared_ptr<const NDIRuntime> runtime_;
    const std::chrono::milliseconds finderRetryDelay_;
    LockedHandler<const std::vector<NDISourceInfo>&> onChange_;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool running_ = false;
    // Each start begins a new run; a thread of an earlier run ends even when the browser runs again.
    uint64_t run_ = 0;
};

}  // namespace kelvora
