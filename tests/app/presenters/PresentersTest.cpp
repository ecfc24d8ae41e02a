#include "app/presenters/StatusColor.h"
#include "receiver/session/presenters/Symbols.h"
#include "sender/sources/CaptureDeviceInfo.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

TEST(StatusColor, PausedIsGrayWhateverTheState) {
    using Kind = SenderStatus::State::Kind;
    const struct {
        Kind state;
        ColorToken running;
    } cases[] = {
        {Kind::waitingForSource, ColorToken::gray}, {Kind::starting, ColorToken::orange},
        {Kind::noSignal, ColorToken::orange},       {Kind::live, ColorToken::liveRed},
        {Kind::paused, ColorToken::gray},           {Kind::error, ColorToken::red},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusColor(false, c.state), c.running) << colorTokenName(c.running);
        EXPECT_EQ(statusColor(true, c.state), ColorToken::gray);
    }
}

TEST(Symbols, EveryNameThePresentersReturnIsKnown) {
    using Connection = CaptureDeviceInfo::Connection;
    for (Connection connection : {Connection::iPhone, Connection::builtIn, Connection::deckLink,
                                  Connection::usb, Connection::other}) {
        for (bool external : {false, true}) {
            CaptureDeviceInfo info;
            info.connection = connection;
            info.isExternal = external;
            EXPECT_TRUE(isKnownSymbol(info.symbolName())) << info.symbolName();
        }
    }
    EXPECT_TRUE(isKnownSymbol("pause.circle"));
    EXPECT_FALSE(isKnownSymbol("pause.circle "));
    EXPECT_FALSE(isKnownSymbol(""));
}

}  // namespace
}  // namespace kelvora
