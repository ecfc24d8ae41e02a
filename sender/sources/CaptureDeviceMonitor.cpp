#include "sender/sources/CaptureDeviceMonitor.h"

#include "core/Log.h"
#include "sender/sources/NameOrder.h"

#include <unistd.h>

#include <algorithm>

namespace kelvora {

std::shared_ptr<CaptureDeviceMonitor> CaptureDeviceMonitor::create(
    std::unique_ptr<CaptureDeviceBackend> backend, std::chrono::milliseconds settleDelay) {
    return std::shared_ptr<CaptureDeviceMonitor>(new CaptureDeviceMonitor(std::move(backend), settleDelay));
}

CaptureDeviceMonitor::CaptureDeviceMonitor(std::unique_ptr<CaptureDeviceBackend> backend,
                                           std::chrono::milliseconds settleDelay)
    : settleDelay_(settleDelay),
      queue_(std::make_unique<SerialQueue>(SerialQueue::labelFor("capture.devices"))),
      backend_(std::move(backend)) {}

CaptureDeviceMonitor::~CaptureDeviceMonitor() {
    // The descriptor and the timers belong to the queue's io_context: let them go there, before the queue.
    queue_->sync([this] {
        events_.reset();
        refreshes_.clear();
        onChange_ = nullptr;
    });
    queue_.reset();
}

void CaptureDeviceMonitor::setOnChange(ChangeHandler handler) {
    queue_->sync([this, &handler] { onChange_ = std::move(handler); });
}

void CaptureDeviceMonitor::start() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->started_) {
            return;
        }
        self->started_ = true;
        self->watch();
        self->publish();
    });
}

std::vector<CaptureDeviceInfo> CaptureDeviceMonitor::refresh() {
    return queue_->sync([this] { return listFrom(backend_->devices()); });
}

std::optional<CaptureDevice> CaptureDeviceMonitor::device(const std::string& id) {
    return device(id, *CaptureDeviceBackend::system());
}

std::optional<CaptureDevice> CaptureDeviceMonitor::device(const std::string& id,
                                                          CaptureDeviceBackend& backend) {
    for (CaptureDevice& device : backend.devices()) {
        if (device.canCapture && device.id == id) {
            return std::move(device);
        }
    }
    return std::nullopt;
}

std::vector<CaptureDeviceInfo> CaptureDeviceMonitor::listFrom(const std::vector<CaptureDevice>& devices) {
    std::vector<CaptureDeviceInfo> list;
    for (const CaptureDevice& device : devices) {
        if (device.canCapture) {
            list.push_back(CaptureDeviceInfo::from(device));
        }
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const CaptureDeviceInfo& left, const CaptureDeviceInfo& right) {
                         if (left.isExternal != right.isExternal) {
                             return left.isExternal;
                         }
                         return localizedStandardLess(left.name, right.name);
                     });
    return list;
}

void CaptureDeviceMonitor::watch() {
    const int fd = backend_->eventDescriptor();
    if (fd < 0) {
        return;
    }
    // A descriptor of our own: asio closes what it holds, the backend keeps its socket.
    const int own = ::dup(fd);
    if (own < 0) {
        Log::capture().warn("Geräteänderungen können nicht verfolgt werden");
        return;
    }
    events_ = std::make_unique<asio::posix::stream_descriptor>(queue_->context(), own);
    awaitEvents();
}

void CaptureDeviceMonitor::awaitEvents() {
    events_->async_wait(asio::posix::stream_descriptor::wait_read,
                        [weak = weak_from_this()](const std::error_code& error) {
                            if (error) {
                                return;
                            }
                            if (auto self = weak.lock()) {
                                self->handleEvents();
                            }
                        });
}

void CaptureDeviceMonitor::handleEvents() {
    for (const CaptureDeviceBackend::Event& event : backend_->receiveEvents()) {
        Log::capture().info("Geräteänderung: {} {}", event.action,
                            event.deviceName.empty() ? "?" : event.deviceName);
        std::erase_if(refreshes_, [](const Timer& timer) { return !timer.isActive(); });
        refreshes_.push_back(queue_->after(settleDelay_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->publish();
            }
        }));
    }
    if (events_) {
        awaitEvents();
    }
}

void CaptureDeviceMonitor::publish() {
    const std::vector<CaptureDeviceInfo> list = listFrom(backend_->devices());
    if (onChange_) {
        onChange_(list);
    }
}

}  // namespace kelvora
