#include "app/presenters/StatusColor.h"

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

ColorToken statusColor(bool isPaused, SenderStatus::State::Kind state) {
    using Kind = SenderStatus::State::Kind;
    if (isPaused) {
        return ColorToken::gray;
    }
    switch (state) {
        case Kind::waitingForSource:
        case Kind::paused:
            return ColorToken::gray;
        case Kind::starting:
        case Kind::noSignal:
            return ColorToken::orange;
        case Kind::live:
            return ColorToken::liveRed;
        case Kind::error:
            return ColorToken::red;
    }
    return ColorToken::gray;
}

}  // namespace kelvora
