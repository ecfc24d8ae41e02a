#include "sender/sources/CaptureError.h"

#include <cstring>
#include <system_error>

namespace kelvora {

CaptureError CaptureError::cannotAddInput(std::optional<std::string> cause) {
    // Without a reason the sentence still ends with the blank that would have led into it.
    std::string description = "Videogerät kann nicht geöffnet werden. ";
    if (cause) {
        description += *cause;
    }
    return CaptureError(Kind::cannotAddInput, std::move(cause), description);
}

CaptureError CaptureError::runtime(std::string cause) {
    const std::string description = "Capture-Fehler: " + cause;
    return CaptureError(Kind::runtime, std::move(cause), description);
}

CaptureError CaptureError::deviceUnavailable() {
    return CaptureError(Kind::deviceUnavailable, std::nullopt, "Das Videogerät ist nicht mehr verfügbar.");
}

CaptureError CaptureError::cannotAddOutput() {
    return CaptureError(Kind::cannotAddOutput, std::nullopt, "Videoausgang kann nicht eingerichtet werden.");
}

CaptureError CaptureError::system(int errorNumber) {
    std::string text = systemErrorText(errorNumber);
    return CaptureError(Kind::system, text, text);
}

std::string CaptureError::systemErrorText(int errorNumber) {
    return std::system_category().message(errorNumber);
}

}  // namespace kelvora
