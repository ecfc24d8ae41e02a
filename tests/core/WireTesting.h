#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/Bytes.h"
#include "core/ControlMessage.h"
#include "core/Json.h"
#include "core/WireError.h"
#include "support/SampleMessages.h"

namespace kelvora::testing {

// The WireError a call throws, or nothing when it returns normally.
template <typename F>
std::optional<WireError> wireErrorOf(F&& call) {
    try {
        call();
    } catch (const WireError& error) {
        return error;
    }
    return std::nullopt;
}

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string textOf(ByteView bytes) {
    return std::string(bytes.begin(), bytes.end());
}

template <typename Record>
Record decodeJson(std::string_view text) {
    return json::from<Record>(json::decode(text));
}

template <typename Record>
std::string encodeJson(const Record& record) {
    return json::encode(json::to(record));
}

// True when decoding `text` as Record fails as invalidPayload.
template <typename Record>
bool rejects(std::string_view text) {
    const auto error = wireErrorOf([&] { decodeJson<Record>(text); });
    return error && error->kind() == WireError::Kind::invalidPayload;
}

}  // namespace kelvora::testing
