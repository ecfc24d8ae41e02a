#include "app/model/StatusText.h"

namespace kelvora {

std::string statusTitle(const SenderStatus& status, bool paused, bool mainSourcePaused) {
    if (paused || mainSourcePaused) {
        return "Pausiert";
    }
    using Kind = SenderStatus::State::Kind;
    switch (status.state.kind()) {
        case Kind::waitingForSource:
            return "Kein Videoeingang";
        case Kind::starting:
            return "Startet …";
        case Kind::noSignal:
            return "Kein Signal";
        case Kind::live:
            return "Live";
        case Kind::paused:
            return "Pausiert";
        case Kind::error:
            return "Fehler";
    }
    return {};
}

std::string statusDetail(const SenderStatus& status, CameraAuthorization camera) {
    using Kind = SenderStatus::State::Kind;
    switch (status.state.kind()) {
        case Kind::starting:
        case Kind::noSignal:
        case Kind::live:
            return status.sourceName;
        case Kind::waitingForSource:
            return camera == CameraAuthorization::denied || camera == CameraAuthorization::restricted
                       ? "Kamerazugriff nicht erlaubt"
                       : "Capture-Karte oder Kamera anschließen";
        case Kind::paused:
            return "Stream angehalten";
        case Kind::error:
            return status.state.message();
    }
    return {};
}

std::string displayName(const std::string& senderName, const HostInfo& host) {
    const auto first = senderName.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return host.computerName();
    }
    return senderName.substr(first, senderName.find_last_not_of(" \t") - first + 1);
}

}  // namespace kelvora
