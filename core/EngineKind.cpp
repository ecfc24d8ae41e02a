#include "core/EngineKind.h"

#include <algorithm>
#include <cctype>

namespace kelvora {

const std::vector<EngineKind>& EngineKind::all() {
    static const std::vector<EngineKind> engines{tcp(), quic()};
    return engines;
}

std::string EngineKind::description() const {
    if (rawValue == "tcp")
        return "Nativ TCP";
    if (rawValue == "quic")
        return "Nativ QUIC";
    if (rawValue == "srt")
        return "SRT";
    if (rawValue == "webrtc")
        return "WebRTC";
    std::string upper = rawValue;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

std::string EngineKind::summary() const {
    if (rawValue == "tcp")
        return "Einfach, robust im guten WLAN. Bei Paketverlust kurze Hänger.";
    if (rawValue == "quic")
        return "Ein QUIC-Stream pro Frame: Verluste blockieren nur den betroffenen Frame.";
    if (rawValue == "srt")
        return "Fester Empfangspuffer mit Wiederholungen. Sehr robust, etwas mehr Latenz.";
    if (rawValue == "webrtc")
        return "Googles WebRTC-Stack mit eigener Staukontrolle.";
    return {};
}

EngineKind EngineKind::fromJson(const Json& value) {
    return EngineKind{json::from<std::string>(value)};
}

}  // namespace kelvora
