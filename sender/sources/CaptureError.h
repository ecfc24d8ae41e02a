#pragma once

#include "sender/sources/SourceError.h"

#include <optional>
#include <string>

namespace kelvora {

// Why a capture device source cannot deliver. `what()` is the German sentence the user sees.
class CaptureError : public SourceError {
  public:
    enum class Kind {
        // The device could not be opened (with the system's reason), or it is no capture device at all.
        cannotAddInput,
        // Capture failed while running; `cause()` is the description of what went wrong.
        runtime,
        // The device is not (or no longer) there.
        deviceUnavailable,
        // The device offers no picture layout that can be converted, or its buffers cannot be set up.
        cannotAddOutput,
        // The device refused to be configured (another program holds it, for instance); the description
        // is the system's own.
        system,
    };

    static CaptureError cannotAddInput(std::optional<std::string> cause = std::nullopt);
    static CaptureError runtime(std::string cause);
    static CaptureError deviceUnavailable();
    static CaptureError cannotAddOutput();
    static CaptureError system(int errorNumber);

    Kind kind() const { return kind_; }
    // The wrapped error's description, where there is one.
    const std::optional<std::string>& cause() const { return cause_; }

    // The system's text for an errno value ("Device or resource busy").
    static std::string systemErrorText(int errorNumber);

  private:
    CaptureError(Kind kind, std::optional<std::string> cause, const std::string& description)
        : SourceError(description), kind_(kind), cause_(std::move(cause)) {}

    Kind kind_;
    std::optional<std::string> cause_;
};

}  // namespace kelvora
