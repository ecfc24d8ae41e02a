#include "core/WireError.h"

namespace kelvora {

WireError::WireError(Kind kind, int64_t value, std::string detail)
    : kind_(kind), value_(value), detail_(std::move(detail)) {
    switch (kind_) {
        case Kind::unsupportedVersion:
            text_ = "unsupportedVersion(" + std::to_string(value_) + ")";
            break;
        case Kind::unknownMessageType:
            text_ = "unknownMessageType(" + std::to_string(value_) + ")";
            break;
        case Kind::invalidPayload:
            text_ = "invalidPayload(\"" + detail_ + "\")";
            break;
        case Kind::messageTooLarge:
            text_ = "messageTooLarge(" + std::to_string(value_) + ")";
            break;
        case Kind::truncated:
            text_ = "truncated";
            break;
        case Kind::valueTooLarge:
            text_ = "valueTooLarge";
            break;
    }
}

}  // namespace kelvora
