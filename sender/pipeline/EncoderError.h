#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kelvora {

// A compression session could not be created; `status` is the encoder library's code (an AVERROR, or -1
// where the library gives none).
class EncoderError : public std::exception {
  public:
    enum class Kind { sessionCreation };

    static EncoderError sessionCreation(int32_t status, std::string detail = {}) {
        return EncoderError(Kind::sessionCreation, status, std::move(detail));
    }

    Kind kind() const { return kind_; }
    int32_t status() const { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const EncoderError& a, const EncoderError& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_;
    }

  private:
    EncoderError(Kind kind, int32_t status, std::string detail)
        : kind_(kind),
          status_(status),
          text_("sessionCreation(" + std::to_string(status) + ")" + (detail.empty() ? "" : ": " + detail)) {}

    Kind kind_;
    int32_t status_;
    std::string text_;
};

}  // namespace kelvora
