#include <gtest/gtest.h>

#include "core/WireFaultLog.h"
#include "support/LogCapture.h"

using namespace kelvora;

TEST(WireFaultLog, WritesOneLinePerKindAndIntervalWithTheCountPassedOverAndCleansThePeersText) {
    spdlog::logger logger("wire-fault-test");
    test::LogCapture capture(logger);
    uint64_t now = 5'000'000'000;
    WireFaultLog log(logger, [&] { return now; });
    const auto bad = WireError::invalidPayload("welcome: \x1b[2J\u202Eevil\r\n");
    for (int i = 0; i < 1000; ++i) {
        log.unreadableMessage(bad);
        now += 1'000'000;  // a thousand a second
    }
    log.invalidHeader(WireError::unknownMessageType(0x04));
    log.invalidHeader(WireError::unknownMessageType(0x04));
    log.unreadableMessage(bad);
    const std::string cleaned = "Nachricht nicht lesbar: invalidPayload(\"welcome: \uFFFD[2J\uFFFDevil \")";
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   cleaned + " (1 seit der letzten Meldung)",
                                   "Ungültiger Header: unknownMessageType(4) (1 seit der letzten Meldung)",
                                   cleaned + " (1000 seit der letzten Meldung)"}));
}
