#include "sender/sources/NDISourceError.h"

namespace kelvora {

// Names are quoted the German way: low opening mark, high closing mark.
NDISourceError NDISourceError::cannotConnect(const std::string& ndiName) {
    return NDISourceError(Kind::cannotConnect, ndiName,
                          "Keine Verbindung zur NDI-Quelle \u201E" + ndiName + "\u201C");
}

NDISourceError NDISourceError::connectionLost(const std::string& ndiName) {
    return NDISourceError(Kind::connectionLost, ndiName, "NDI-Quelle \u201E" + ndiName + "\u201C getrennt");
}

NDISourceError NDISourceError::runtimeMissing() {
    return NDISourceError(Kind::runtimeMissing, {}, "NDI ist auf diesem Computer nicht verfügbar");
}

}  // namespace kelvora
