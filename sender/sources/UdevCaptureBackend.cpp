#include "sender/sources/CaptureDeviceBackend.h"

#include "core/Log.h"
#include "platform/Utf8.h"
#include "sender/sources/CaptureError.h"
#include "sender/sources/V4L2Capture.h"

#include <libudev.h>
#include <unistd.h>

#include <string_view>

namespace kelvora {

namespace {

std::string value(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string attribute(udev_device* device, const char* name) {
    return device != nullptr ? value(udev_device_get_sysattr_value(device, name)) : std::string();
}

std::string property(udev_device* device, const char* name) {
    return device != nullptr ? value(udev_device_get_property_value(device, name)) : std::string();
}

// sysfs attributes end with a newline; udev gives them as they are.
std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

class UdevCaptureBackend final : public CaptureDeviceBackend {
  public:
    UdevCaptureBackend() : udev_(udev_new()) {
        if (udev_ == nullptr) {
            Log::capture().error("udev ist nicht verfügbar: keine Videogeräte");
        }
    }

    ~UdevCaptureBackend() override {
        if (monitor_ != nullptr) {
            udev_monitor_unref(monitor_);
        }
        if (udev_ != nullptr) {
            udev_unref(udev_);
        }
    }

    UdevCaptureBackend(const UdevCaptureBackend&) = delete;
    UdevCaptureBackend& operator=(const UdevCaptureBackend&) = delete;

    std::vector<CaptureDevice> devices() override {
        std::vector<CaptureDevice> result;
        if (udev_ == nullptr) {
            return result;
        }
        udev_enumerate* enumerate = udev_enumerate_new(udev_);
        if (enumerate == nullptr) {
            return result;
        }
        udev_enumerate_add_match_subsystem(enumerate, "video4linux");
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
            if (device == nullptr) {
                continue;
            }
            if (auto record = describe(device)) {
                result.push_back(std::move(*record));
            }
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
        return result;
    }

    int eventDescriptor() override {
        if (monitor_ == nullptr && udev_ != nullptr && !monitorFailed_) {
            startMonitor();
        }
        return monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1;
    }

    std::vector<Event> receiveEvents() override {
        std::vector<Event> events;
        if (monitor_ == nullptr) {
            return events;
        }
        // The monitor's socket does not block: this returns once nothing more is waiting.
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const std::string action = value(udev_device_get_action(device));
            if (action == "add" || action == "remove") {
                std::string name = trimmed(attribute(device, "name"));
                if (name.empty()) {
                    name = value(udev_device_get_devnode(device));
                }
                events.push_back({action, validUtf8(name)});
            }
            udev_device_unref(device);
        }
        return events;
    }

  private:
    // Only the monitor watches; a one-off lookup of a device needs no event socket.
    void startMonitor() {
        // Without a udev daemon (a container, a minimal system) the daemon's events never come; the
        // kernel's own announce the same devices.
        const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        monitor_ = udev_monitor_new_from_netlink(udev_, source);
        if (monitor_ == nullptr ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "video4linux", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            Log::capture().warn("Geräteänderungen können nicht verfolgt werden ({})", source);
            if (monitor_ != nullptr) {
                udev_monitor_unref(monitor_);
                monitor_ = nullptr;
            }
            monitorFailed_ = true;
        }
    }

    static std::optional<CaptureDevice> describe(udev_device* device) {
        const char* node = udev_device_get_devnode(device);
        if (node == nullptr) {
            return std::nullopt;
        }
        CaptureDevice record;
        record.devicePath = node;
        record.name = trimmed(attribute(device, "name"));

        try {
            auto capture = V4L2Capture::open(V4L2Interface::system(), record.devicePath);
            const V4L2Capture::Capabilities capabilities = capture->capabilities();
            record.canCapture = capabilities.canCapture;
            record.busInfo = capabilities.busInfo;
            if (record.name.empty()) {
                record.name = capabilities.card;
            }
        } catch (const CaptureError&) {
            // A node we may not open still shows what udev learnt about it when it appeared.
            record.canCapture =
                property(device, "ID_V4L_CAPABILITIES").find(":capture:") != std::string::npos;
        }
        if (record.name.empty()) {
            record.name = property(device, "ID_V4L_PRODUCT");
        }
        if (record.name.empty()) {
            record.name = value(udev_device_get_sysname(device));
        }

        const std::string syspath = value(udev_device_get_syspath(device));
        if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
            // Firmware marks the ports of built-in cameras as fixed.
            record.transport = trimmed(attribute(usb, "removable")) == "fixed" ? CaptureTransport::builtIn
                                                                               : CaptureTransport::usb;
            record.manufacturer = trimmed(attribute(usb, "manufacturer"));
            record.modelID = trimmed(attribute(usb, "product"));
            if (record.manufacturer.empty()) {
                record.manufacturer = property(usb, "ID_VENDOR_FROM_DATABASE");
            }
        } else if (syspath.starts_with("/sys/devices/virtual/")) {
            record.transport = CaptureTransport::other;
        } else if (udev_device* pci = udev_device_get_parent_with_subsystem_devtype(device, "pci", nullptr)) {
            record.transport = CaptureTransport::other;
            record.manufacturer = property(pci, "ID_VENDOR_FROM_DATABASE");
        } else {
            // On the platform's own camera bus (a laptop's or a board's sensor).
            record.transport = CaptureTransport::builtIn;
        }
        if (record.manufacturer.empty()) {
            record.manufacturer = property(device, "ID_VENDOR_FROM_DATABASE");
        }
        // Firmware strings need not be UTF-8, and the kernel cuts a card's name at 32 bytes, inside a
        // character as often as not; these names are shown and sent to viewers as text.
        record.name = validUtf8(record.name);
        record.manufacturer = validUtf8(record.manufacturer);
        record.modelID = validUtf8(record.modelID);

        record.id = stableID(device);
        return record;
    }

    static std::string stableID(udev_device* device) {
        std::string byPath;
        udev_list_entry* link = nullptr;
        udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(device)) {
            const std::string_view name = udev_list_entry_get_name(link);
            if (name.starts_with("/dev/v4l/by-id/")) {
                return std::string(name);
            }
            if (byPath.empty() && name.starts_with("/dev/v4l/by-path/")) {
                byPath = name;
            }
        }
        if (!byPath.empty()) {
            return byPath;
        }
        // Without udev's links: the place of the device's parent in sysfs (the same port gives the same
        // place) and the node's index among that parent's nodes.
        udev_device* parent = udev_device_get_parent(device);
        std::string index = trimmed(attribute(device, "index"));
        std::string id = "v4l2:";
        id += parent != nullptr ? value(udev_device_get_devpath(parent))
                                : value(udev_device_get_devpath(device));
        id += ":";
        id += index.empty() ? "0" : index;
        return id;
    }

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool monitorFailed_ = false;
};

}  // namespace

std::unique_ptr<CaptureDeviceBackend> CaptureDeviceBackend::system() {
    return std::make_unique<UdevCaptureBackend>();
}

}  // namespace kelvora
