#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kelvora {

// The one error of every wire format. Decoders throw it by value; callers that must not throw catch it at
// their boundary and turn it into a connection end or a dropped frame.
class WireError : public std::exception {
  public:
    enum class Kind {
        unsupportedVersion,
        unknownMessageType,
        invalidPayload,
        messageTooLarge,
        truncated,
        valueTooLarge
    };

    static WireError unsupportedVersion(uint8_t version) {
        return WireError(Kind::unsupportedVersion, version, {});
    }
    static WireError unknownMessageType(uint8_t type) {
        return WireError(Kind::unknownMessageType, type, {});
    }
    static WireError invalidPayload(std::string what) {
        return WireError(Kind::invalidPayload, 0, std::move(what));
    }
    static WireError messageTooLarge(int64_t byteCount) {
        return WireError(Kind::messageTooLarge, byteCount, {});
    }
    static WireError truncated() { return WireError(Kind::truncated, 0, {}); }
    static WireError valueTooLarge() { return WireError(Kind::valueTooLarge, 0, {}); }

    Kind kind() const { return kind_; }
    // The version or type byte, or the byte count of messageTooLarge; 0 for the other kinds.
    int64_t value() const { return value_; }
    // What was wrong, for invalidPayload; empty for the other kinds.
    const std::string& detail() const { return detail_; }

    // The case name with its argument in parentheses, e.g. `messageTooLarge(33554433)` or `truncated`.
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const WireError& a, const WireError& b) {
        return a.kind_ == b.kind_ && a.value_ == b.value_ && a.detail_ == b.detail_;
    }

  private:
    WireError(Kind kind, int64_t value, std::string detail);

    Kind kind_;
    int64_t value_;
    std::string detail_;
    std::string text_;
};

}  // namespace kelvora
