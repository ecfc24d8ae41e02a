#include "receiver/session/DecoderError.h"

namespace kelvora {

DecoderError::DecoderError(Kind kind, int32_t status) : kind_(kind), status_(status) {
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
    }
}

}  // namespace kelvora
