#include "receiver/session/presenters/ColorToken.h"

namespace kelvora {

std::string_view colorTokenName(ColorToken token) {
    switch (token) {
        case ColorToken::gray:
            return "gray";
        case ColorToken::orange:
            return "orange";
        case ColorToken::red:
            return "red";
        case ColorToken::liveRed:
            return "liveRed";
        case ColorToken::green:
            return "green";
        case ColorToken::blue:
            return "blue";
        case ColorToken::purple:
            return "purple";
        case ColorToken::yellow:
            return "yellow";
    }
    return "gray";
}

}  // namespace kelvora
