#include "app/presenters/StatusColor.h"

namespace kelvora {

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
