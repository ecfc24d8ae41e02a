#pragma once

#include "sender/sources/CaptureDevice.h"

#include <memory>
#include <string>
#include <vector>

namespace kelvora {

// Where the capture-device monitor gets its devices and hears of changes: udev on a real system, a
// scripted list in tests. Used from one thread at a time.
class CaptureDeviceBackend {
  public:
    // A device came or went.
    struct Event {
        // "add" or "remove".
        std::string action;
        // The device's name, empty when the event does not say.
        std::string deviceName;
    };

    virtual ~CaptureDeviceBackend() = default;

    // Every video device node, in the system's order (capture-capable or not).
    virtual std::vector<CaptureDevice> devices() = 0;
    // A descriptor that becomes readable when events wait; -1 when this backend cannot watch for changes.
    virtual int eventDescriptor() = 0;
    // The events waiting now; never blocks.
    virtual std::vector<Event> receiveEvents() = 0;

    // udev with the video4linux devices; hot-plug events come from the udev daemon, or straight from the
    // kernel where no daemon runs.
    static std::unique_ptr<CaptureDeviceBackend> system();
};

}  // namespace kelvora
