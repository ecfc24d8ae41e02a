#include "sender/pipeline/SenderStatus.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

TierStatus tier(uint8_t number, int kbps) {
    TierStatus status;
    status.tier = number;
    status.bitrateKbps = kbps;
    return status;
}

TEST(SenderStatus, IdleStatus) {
    SenderStatus idle;
    EXPECT_EQ(idle.state, SenderStatus::State::waitingForSource());
    EXPECT_FALSE(idle.isLive());
    EXPECT_EQ(idle.mainBitrateKbps(), 0);
    EXPECT_TRUE(idle.hevcHardwareAvailable);
    EXPECT_EQ(idle.codec, VideoCodec::hevc);
    EXPECT_EQ(idle.dimensions, VideoDimensions::hd1080());
    EXPECT_EQ(idle.configuredFrameRate, 30);
    EXPECT_EQ(idle.controlPort, std::nullopt);
    EXPECT_EQ(idle.networkError, std::nullopt);
}

TEST(SenderStatus, StatesCompareByCaseAndErrorMessage) {
    EXPECT_NE(SenderStatus::State::error("Kamera getrennt"),
              SenderStatus::State::error("Zeitüberschreitung"));
    EXPECT_EQ(SenderStatus::State::error("Kamera getrennt"), SenderStatus::State::error("Kamera getrennt"));
    EXPECT_NE(SenderStatus::State::starting(), SenderStatus::State::noSignal());
    EXPECT_EQ(SenderStatus::State::paused().message(), "");

    SenderStatus a;
    a.state = SenderStatus::State::live();
    SenderStatus b = a;
    EXPECT_EQ(a, b);
    EXPECT_TRUE(a.isLive());
    b.state = SenderStatus::State::error("x");
    EXPECT_NE(a, b);
    EXPECT_FALSE(b.isLive());
}

TEST(SenderStatus, MainBitrateIsTheFirstListedTier) {
    SenderStatus status;
    status.tiers = {tier(2, 800), tier(0, 14000)};
    EXPECT_EQ(status.mainBitrateKbps(), 800);
}

TEST(SenderStatus, EqualityReachesIntoNestedRows) {
    SenderStatus a;
    a.tiers = {tier(0, 14000)};
    a.engines = {EngineStatus{EngineKind::tcp(), true, true, "bereit", 1}};
    a.clients = {ClientStatus{}};
    SenderStatus b = a;
    EXPECT_EQ(a, b);
    b.tiers[0].encodeWaitMs = 1.5;
    EXPECT_NE(a, b);
    b = a;
    b.engines[0].detail = "aus";
    EXPECT_NE(a, b);
    b = a;
    b.clients[0].latencyMs = 42;
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace kelvora
