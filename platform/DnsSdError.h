#pragma once

#include <exception>
#include <string>

namespace kelvora {

// A failure of DNS-SD registration or browsing, or of building a TXT record.
class DnsSdError : public std::exception {
  public:
    enum class Kind {
        // A TXT key or string that DNS-SD cannot carry (empty key, "=" in a key, more than 255 bytes).
        invalidRecord,
        // The daemon or the client library reported an error; `code()` is the Avahi error number.
        daemon,
    };

    static DnsSdError invalidRecord(std::string text) {
        return DnsSdError(Kind::invalidRecord, 0, std::move(text));
    }
    // The Avahi error `code` with the library's own text for it.
    static DnsSdError daemon(int code);

    Kind kind() const { return kind_; }
    int code() const { return code_; }
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    // The daemon refused us by policy: the counterpart of a refused local-network permission.
    bool isPermissionDenied() const;

    bool operator==(const DnsSdError& other) const { return kind_ == other.kind_ && code_ == other.code_; }

  private:
    DnsSdError(Kind kind, int code, std::string text) : kind_(kind), code_(code), text_(std::move(text)) {}
    Kind kind_;
    int code_;
    std::string text_;
};

}  // namespace kelvora
