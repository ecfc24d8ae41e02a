#include "receiver/session/DecoderError.h"

namespace kelvora {

DecoderError::DecoderError(Kind kind, int32_t status, VideoDimensions size)
    : kind_(kind), status_(status), size_(size) {
    switch (kind_) {
        case Kind::sessionCreation:
            text_ = "sessionCreation(" + std::to_string(status_) + ")";
            break;
        case Kind::decode:
            text_ = "decode(" + std::to_string(status_) + ")";
            break;
        case Kind::noFormat:
            text_ = "noFormat";
            break;
        case Kind::pictureTooLarge:
            text_ = "pictureTooLarge(" + size_.description() + ")";
            break;
    }
}

}  // namespace kelvora
