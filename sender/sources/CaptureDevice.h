#pragma once

#include <string>

namespace kelvora {

// How a capture device reaches this computer, as far as classification cares.
enum class CaptureTransport : unsigned char {
    // A USB device on a port the firmware calls removable (or does not describe): a UVC card or camera.
    usb,
    // A camera built into the computer: a USB camera on a port the firmware marks fixed, or one on the
    // platform's own camera bus.
    builtIn,
    // Anything else: a PCIe or Thunderbolt card whose driver presents a V4L2 device, a virtual device.
    other,
};

// One V4L2 video device as the system reports it: what the device list shows and what a capture source
// needs to open it again.
struct CaptureDevice {
    // Stable across restarts while the device stays on the same port: the udev "by-id" link where udev
    // made one, else the "by-path" link, else a name built from the device's place in sysfs.
    std::string id;
    std::string name;
    std::string manufacturer;
    // The product string of the device's USB descriptor; empty for other transports.
    std::string modelID;
    CaptureTransport transport = CaptureTransport::other;
    // The device node to open ("/dev/video0") and the V4L2 bus information it reported, so that a node
    // that now belongs to another device is not taken for this one.
    std::string devicePath;
    std::string busInfo;
    // It delivers video through memory-mapped streaming, the way the capture source reads it (metadata
    // and output nodes of the same hardware do not).
    bool canCapture = false;

    bool operator==(const CaptureDevice&) const = default;
};

}  // namespace kelvora
