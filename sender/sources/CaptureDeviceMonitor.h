#pragma once

#include "platform/SerialQueue.h"
#include "sender/sources/CaptureDevice.h"
#include "sender/sources/CaptureDeviceBackend.h"
#include "sender/sources/CaptureDeviceInfo.h"

#include <asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// Keeps the list of capture devices current and publishes it, sorted, to its owner (the app model, which
// shows it in the source pickers and hands the selected id to the pipeline).
//
// The list holds the devices that can capture video, external ones first, each group by name in a file
// browser's order (stable, so equal names keep the system's order). Every device that comes or goes is
// logged and, after a short settling time in which udev finishes setting it up, the whole list is
// published again; two changes in quick succession publish twice.
//
// Threads: all work, and every `onChange` call, runs on the monitor's own queue ("capture.devices"); the
// owner hops to its own thread before touching user-interface state. `start` and `refresh` may be called
// from any thread. Destroying the monitor stops watching; no call comes after the destructor returns.
class CaptureDeviceMonitor : public std::enable_shared_from_this<CaptureDeviceMonitor> {
  public:
    using ChangeHandler = std::function<void(const std::vector<CaptureDeviceInfo>&)>;

    static constexpr std::chrono::milliseconds kSettleDelay{400};

    static std::shared_ptr<CaptureDeviceMonitor> create(
        std::unique_ptr<CaptureDeviceBackend> backend = CaptureDeviceBackend::system(),
        std::chrono::milliseconds settleDelay = kSettleDelay);
    ~CaptureDeviceMonitor();
    CaptureDeviceMonitor(const CaptureDeviceMonitor&) = delete;
    CaptureDeviceMonitor& operator=(const CaptureDeviceMonitor&) = delete;

    // Set before `start`.
    void setOnChange(ChangeHandler handler);
    // Publishes the current list at once, then follows changes.
    void start();
    // The current sorted list, without publishing it.
    std::vector<CaptureDeviceInfo> refresh();

    // The system's device with this id, if it is there now: how a stored source id becomes a device to
    // open.
    static std::optional<CaptureDevice> device(const std::string& id);
    static std::optional<CaptureDevice> device(const std::string& id, CaptureDeviceBackend& backend);

    // The published form of a device list: capture devices only, classified and sorted.
    static std::vector<CaptureDeviceInfo> listFrom(const std::vector<CaptureDevice>& devices);

  private:
    CaptureDeviceMonitor(std::unique_ptr<CaptureDeviceBackend> backend,
                         std::chrono::milliseconds settleDelay);

    void watch();
    void awaitEvents();
    void handleEvents();
    void publish();

    const std::chrono::milliseconds settleDelay_;
    std::unique_ptr<SerialQueue> queue_;
    // Everything below lives on the queue.
    std::unique_ptr<CaptureDeviceBackend> backend_;
    ChangeHandler onChange_;
    bool started_ = false;
    std::unique_ptr<asio::posix::stream_descriptor> events_;
    std::vector<Timer> refreshes_;
};

}  // namespace kelvora
