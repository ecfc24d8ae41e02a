#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/Json.h"

namespace kelvora {

// A media transport, named by a free string so that kinds this build does not implement still decode and
// compare. Only tcp and quic are offered.
struct EngineKind {
    std::string rawValue;

    static EngineKind tcp() { return {"tcp"}; }
    static EngineKind quic() { return {"quic"}; }
    static EngineKind srt() { return {"srt"}; }
    static EngineKind webrtc() { return {"webrtc"}; }
    // The engines this system offers, in order; also the default list of enabled engines.
    static const std::vector<EngineKind>& all();

    // "Nativ TCP", ...; an unknown kind shows its raw value in upper case.
    std::string description() const;
    // One sentence for the engine picker; empty for unknown kinds.
    std::string summary() const;

    bool operator==(const EngineKind&) const = default;

    static EngineKind fromJson(const Json& value);
    Json toJson() const { return Json(rawValue); }
};

namespace json {
// An engine kind is a bare JSON string, not an object.
template <>
struct Coder<EngineKind> {
    static EngineKind from(const Json& value) { return EngineKind::fromJson(value); }
    static Json to(const EngineKind& kind) { return kind.toJson(); }
};
}  // namespace json

}  // namespace kelvora

template <>
struct std::hash<kelvora::EngineKind> {
    size_t operator()(const kelvora::EngineKind& kind) const noexcept {
        return std::hash<std::string>{}(kind.rawValue);
    }
};
