#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "core/VideoDimensions.h"

namespace kelvora {

// Why a video decoder gave no picture for a frame. Carried to the decoder's owner as a result value; the
// owner answers every kind the same way, by waiting for (or asking for) the tier's next keyframe.
class DecoderError : public std::exception {
  public:
    enum class Kind {
        sessionCreation,  // the codec context could not be opened; status is the library's code
        decode,          // the frame could not be decoded; status is the library's code, -1 for a bad payload
        noFormat,        // no usable format: no keyframe with parameter sets yet, or they were refused
        pictureTooLarge  // the parameter sets describe a picture beyond what a viewer decodes; size tells
    };

    static DecoderError sessionCreation(int32_t status) {
        return DecoderError(Kind::sessionCreation, status);
    }
    static DecoderError decode(int32_t status) { return DecoderError(Kind::decode, status); }
    static DecoderError noFormat() { return DecoderError(Kind::noFormat, 0); }
    static DecoderError pictureTooLarge(VideoDimensions size) {
        return DecoderError(Kind::pictureTooLarge, 0, size);
    }

    Kind kind() const { return kind_; }
    // The status of sessionCreation and decode; 0 for the others.
    int32_t status() const { return status_; }
    // The refused picture size of pictureTooLarge.
    VideoDimensions size() const { return size_; }

    // The case name with its status, e.g. `decode(-1094995529)` or `pictureTooLarge(16000×16000)`, as the
    // decoder log shows it.
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const DecoderError& a, const DecoderError& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_ && a.size_ == b.size_;
    }

  private:
    DecoderError(Kind kind, int32_t status, VideoDimensions size = {});

    Kind kind_;
    int32_t status_;
    VideoDimensions size_;
    std::string text_;
};

}  // namespace kelvora
