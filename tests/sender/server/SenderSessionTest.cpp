#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>

#include "sender/server/FakeMediaSink.h"
#include "sender/server/SenderSession.h"
#include "sender/server/SessionTesting.h"

namespace kelvora {
namespace {

using testing::FakeMediaSink;
using Flags = EncodedVideoFrame::Flags;
using Reason = KeyframeRequestMessage::Reason;

constexpr Flags kKey = Flags::keyframe;
constexpr Flags kDisposable = Flags::disposable;
constexpr Flags kRefresh = Flags::refresh;

class SenderSessionTest : public ::testing::Test {
  protected:
    struct Request {
        uint8_t tier;
        Reason reason;
        std::optional<FrameNumberRange> acknowledged;
    };

    void SetUp() override { start(); }

    void start(int protocol = 4, bool startOnProxy = false) {
        HelloMessage hello;
        hello.clientID = "C1";
        hello.clientName = "iPad Regie";
        hello.protocolVersion = protocol;
        hello.engine = EngineKind::tcp();
        hello.deviceModel = "iPad13,4";
        control = testing::makeControlConnection(queue);
        session = std::make_shared<SenderSession>("T1", hello, control.connection, EngineKind::tcp(),
                                                  RateLimits{10000, 300, 40000}, startOnProxy,
                                                  [this] { return nowNs; });
        session->keyframeRequester = [this](uint8_t tier, Reason reason,
                                            std::optional<FrameNumberRange> range) {
            requests.push_back({tier, reason, range});
        };
        requests.clear();
    }

    template <typename Function>
    auto onQueue(Function&& function) {
        return queue->sync(std::forward<Function>(function));
    }

    void attach(const std::shared_ptr<FakeMediaSink>& next) {
        onQueue([&] { session->attachMediaSink(next); });
        requests.clear();
    }

    void advance(double ms) { nowNs += static_cast<uint64_t>(ms * 1e6); }

    // Delivers one frame of `tier` at the current time.
    void deliver(uint8_t tier, uint64_t number, Flags flags = {},
                 std::optional<uint64_t> reference = std::nullopt) {
        EncodedVideoFrame frame;
        frame.tier = tier;
        frame.frameNumber = number;
        frame.flags = flags;
        frame.referenceFrameNumber = reference.value_or(flags.contains(kKey) ? number : number - 1);
        frame.captureTime = nowNs;
        onQueue([&] { session->deliver(frame, message); });
    }

    // Gives the displayed tier (0) a running stream on the sink: keyframe 1 and frame 2 sent, 100 ms after
    // the attach asked for its keyframe.
    void startMainStream() {
        attach(sink);
        advance(100);
        deliver(0, 1, kKey);
        deliver(0, 2);
        requests.clear();
    }

    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("test.session"));
    uint64_t nowNs = 1'000'000'000'000;
    testing::ControlConnection control;
    std::shared_ptr<SenderSession> session;
    std::shared_ptr<FakeMediaSink> sink = std::make_shared<FakeMediaSink>();
    SharedBytes message = std::make_shared<const Bytes>(Bytes(1000, 0xAB));
    std::vector<Request> requests;
};

// --- delivery ---

TEST_F(SenderSessionTest, HoldsEveryTierUntilItsKeyframe) {
    attach(sink);
    advance(100);
    deliver(0, 5);
    deliver(0, 6);
    EXPECT_TRUE(sink->sent.empty());
    ASSERT_EQ(requests.size(), 1u);  // the second request falls inside the throttle
    EXPECT_EQ(requests[0].reason, Reason::frameLoss);

    deliver(0, 7, kKey);
    deliver(0, 8);
    EXPECT_EQ(sink->numbersSent(0), (std::vector<uint64_t>{7, 8}));
    // Frames were withheld before the keyframe: it goes out re-encoded, flagged for the viewer.
    EXPECT_TRUE(sink->sent[0].flags.contains(Flags::senderSkipped));
    const auto resent = ControlMessageParser().append(*sink->sent[0].message).messages;
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].get<EncodedVideoFrame>()->flags, kKey | Flags::senderSkipped);
    EXPECT_FALSE(sink->sent[1].flags.contains(Flags::senderSkipped));
    EXPECT_EQ(sink->cancelledTiers, std::vector<uint8_t>{0});
    EXPECT_EQ(session->framesSent, 2);
    EXPECT_EQ(session->framesDroppedBySender, 0);  // a tier that never started drops nothing
}

TEST_F(SenderSessionTest, IgnoresTiersTheViewerDoesNotTakeBeforeLookingAtThePendingSink) {
    startMainStream();
    auto next = std::make_shared<FakeMediaSink>();
    onQueue([&] { session->prepareMediaChannelSwitch(next); });
    deliver(1, 1, kKey);
    deliver(2, 1, kKey);  // hot standby is off
    EXPECT_EQ(session->pendingSink, next);
    EXPECT_EQ(sink->sent.size(), 2u);
    EXPECT_TRUE(next->sent.empty());
}

TEST_F(SenderSessionTest, StandbyProxyFlowsOnlyBesideMainWithStandbyOnForProtocolFour) {
    session->hotStandbyEnabled = true;
    startMainStream();
    deliver(2, 1, kKey);
    deliver(2, 2);
    EXPECT_EQ(sink->numbersSent(2), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(session->standbyTier(), 2);

    start(3);
    session->hotStandbyEnabled = true;
    sink = std::make_shared<FakeMediaSink>();
    startMainStream();
    deliver(2, 3, kKey);
    EXPECT_TRUE(sink->numbersSent(2).empty());
    EXPECT_EQ(session->standbyTier(), std::nullopt);
}

TEST_F(SenderSessionTest, RefreshEndsAWaitOnlyOnAStartedTierInsideTheAcknowledgedChain) {
    attach(sink);
    onQueue([&] { session->handleReferenceAck({0, 10, 20}); });
    deliver(0, 30, kRefresh, 15);  // not started yet
    EXPECT_TRUE(sink->sent.empty());

    deliver(0, 31, kKey);
    sink->overall = SinkCongestion::severe;
    deliver(0, 32);  // dropped: the tier waits again
    sink->overall = SinkCongestion::none;
    deliver(0, 33, kRefresh, 25);  // outside the chain
    deliver(0, 34, kRefresh, 20);
    EXPECT_EQ(sink->numbersSent(0), (std::vector<uint64_t>{31, 34}));
    EXPECT_TRUE(sink->sent.back().flags.contains(Flags::senderSkipped));

    onQueue([&] { session->handleReferenceAck({0, 0, 0}); });  // newest 0 clears the chain
    sink->overall = SinkCongestion::severe;
    deliver(0, 35);
    sink->overall = SinkCongestion::none;
    deliver(0, 36, kRefresh, 20);
    EXPECT_EQ(sink->numbersSent(0).back(), 34u);
}

TEST_F(SenderSessionTest, ModerateCongestionThinsDisposableFramesBeforeReferenceFrames) {
    startMainStream();
    sink->overall = SinkCongestion::moderate;
    deliver(0, 3, kDisposable);  // dropped, no wait
    deliver(0, 4);               // a reference frame right behind a disposable one passes
    deliver(0, 5, kDisposable);
    deliver(0, 6);
    EXPECT_EQ(sink->numbersSent(0), (std::vector<uint64_t>{1, 2, 4, 6}));
    EXPECT_EQ(session->framesDroppedBySender, 2);
    EXPECT_EQ(session->primaryDropsSinceUpdate, 2);
    EXPECT_EQ(session->congestionEventsSinceUpdate, 2);
    EXPECT_TRUE(requests.empty());

    deliver(0, 10);  // no disposable frame within the last four numbers: the tier waits for a keyframe
    deliver(0, 11);
    EXPECT_EQ(sink->numbersSent(0).back(), 6u);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].reason, Reason::frameLoss);
    EXPECT_EQ(session->framesDroppedBySender, 4);
}

TEST_F(SenderSessionTest, RestartedFrameNumbersDoNotCountAsRecent) {
    startMainStream();
    deliver(0, 1000, kDisposable);
    sink->overall = SinkCongestion::moderate;
    deliver(0, 3);  // the encoder was rebuilt and numbers from the start again
    EXPECT_EQ(sink->numbersSent(0).back(), 1000u);
    EXPECT_EQ(requests.size(), 1u);
}

TEST_F(SenderSessionTest, SevereCongestionDropsEvenAKeyframeButNotRightBehindOne) {
    startMainStream();
    sink->overall = SinkCongestion::severe;
    sink->keyframeInFlightByTier[0] = true;
    deliver(0, 3, kKey);
    EXPECT_EQ(sink->numbersSent(0).back(), 2u);
    EXPECT_TRUE(requests.empty());  // a keyframe is already on its way
    EXPECT_EQ(session->congestionEventsSinceUpdate, 0);

    sink->keyframeInFlightByTier[0] = false;
    advance(149);
    sink->overall = SinkCongestion::none;
    deliver(0, 4, kKey);  // the waiting tier resumes with it
    sink->overall = SinkCongestion::severe;
    deliver(0, 5);
    EXPECT_EQ(session->congestionEventsSinceUpdate, 0);  // 149 ms behind a keyframe in flight
    advance(1);
    deliver(0, 6, kKey);  // still waiting: a keyframe ends the wait regardless of congestion
    deliver(0, 7);
    EXPECT_EQ(session->congestionEventsSinceUpdate, 1);
}

TEST_F(SenderSessionTest, FrameRateLimitDropsSurplusDisposableFramesAndCountsNothing) {
    startMainStream();
    onQueue([&] { session->handleFrameRateLimit(30); });
    advance(20);
    deliver(0, 3, kDisposable);  // 20 ms after the last one: above 30 fps
    advance(10);
    deliver(0, 4);  // reference frames always pass
    advance(30);
    deliver(0, 5, kDisposable);
    EXPECT_EQ(sink->numbersSent(0), (std::vector<uint64_t>{1, 2, 4, 5}));
    EXPECT_EQ(session->framesDroppedBySender, 0);
    EXPECT_EQ(session->framesOfferedSinceUpdate, 4);
}

TEST_F(SenderSessionTest, OfferedBytesCountDisplayedFramesAndBeforeTheStartOnlyKeyframes) {
    attach(sink);
    deliver(0, 1);
    deliver(1, 1, kKey);
    EXPECT_EQ(session->framesOfferedSinceUpdate, 0);
    deliver(0, 2, kKey);
    deliver(0, 3);
    EXPECT_EQ(session->framesOfferedSinceUpdate, 2);
    EXPECT_DOUBLE_EQ(session->offeredBytesMeter.rate(nowNs), 1000.0);  // 2000 bytes over a 2 s window
}

// --- tier switches ---

TEST_F(SenderSessionTest, UpgradeWatchdogAbortsWhenTheDisplayedTierFallsBehind) {
    start(4, true);  // shows the proxy while main is built
    attach(sink);
    deliver(2, 1, kKey);
    requests.clear();
    sink->oldestAgeByTier[2] = 90.0;
    deliver(0, 1);
    EXPECT_EQ(session->candidateTier, 0);

    sink->oldestAgeByTier[2] = 91.0;
    deliver(0, 2);
    EXPECT_EQ(session->candidateTier, std::nullopt);
    EXPECT_TRUE(session->hadUpgradeAttempt);
    EXPECT_EQ(session->rateController.estimateKbps, 6000);
    EXPECT_TRUE(sink->numbersSent(0).empty());
}

TEST_F(SenderSessionTest, DowngradeSendsPreferTierAndReusesAStartedStandbyProxy) {
    session->hotStandbyEnabled = true;
    startMainStream();
    deliver(2, 1, kKey);
    onQueue([&] { session->beginParallelTierBuild(2); });
    EXPECT_TRUE(requests.empty());  // the standby already flows
    EXPECT_EQ(session->candidateTier, 2);
    const auto prefer = testing::sentControlMessages(control);
    ASSERT_EQ(prefer.size(), 1u);
    ASSERT_NE(prefer[0].get<PreferTierMessage>(), nullptr);
    EXPECT_EQ(prefer[0].get<PreferTierMessage>()->tier, 2);
    EXPECT_EQ(prefer[0].get<PreferTierMessage>()->provisional, std::nullopt);

    onQueue([&] { session->handleTierReady(2, false); });
    EXPECT_EQ(session->tier, 2);
    deliver(0, 3);
    deliver(2, 2);
    EXPECT_EQ(sink->numbersSent(0).back(), 2u);
    EXPECT_EQ(sink->numbersSent(2).back(), 2u);

    // Back up: an upgrade sends no preferTier, and the proxy stays behind as standby.
    advance(10000);
    onQueue([&] { session->beginParallelTierBuild(0); });
    EXPECT_EQ(testing::sentControlMessages(control).size(), 1u);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].reason, Reason::formatChange);
    onQueue([&] { session->handleTierReady(0, false); });
    EXPECT_EQ(session->tier, 0);
    deliver(2, 3);
    EXPECT_EQ(sink->numbersSent(2).back(), 3u);
}

TEST_F(SenderSessionTest, ProvisionalReadinessShowsTheCandidateAfterOneSecond) {
    startMainStream();
    onQueue([&] { session->beginParallelTierBuild(1); });
    deliver(1, 1, kKey);
    onQueue([&] { session->handleTierReady(1, true); });
    advance(1000);
    deliver(1, 2);
    EXPECT_EQ(session->tier, 0);
    advance(1);
    deliver(1, 3);
    EXPECT_EQ(session->tier, 1);
    EXPECT_EQ(session->candidateTier, std::nullopt);
    EXPECT_EQ(sink->numbersSent(1), (std::vector<uint64_t>{1, 2, 3}));

    onQueue([&] { session->handleTierReady(7, false); });
    EXPECT_EQ(session->tier, 1);
}

TEST_F(SenderSessionTest, OldViewersSwitchAtOnce) {
    start(2);
    attach(sink);
    onQueue([&] { session->beginParallelTierBuild(2); });
    EXPECT_EQ(session->tier, 2);
    EXPECT_EQ(session->candidateTier, std::nullopt);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].tier, 2);
    EXPECT_EQ(requests[0].reason, Reason::formatChange);
    EXPECT_TRUE(testing::sentControlMessages(control).empty());
}

TEST_F(SenderSessionTest, ReturnHoldDoublesOnAQuickStepDownAndResetsAfterALongStretch) {
    startMainStream();
    onQueue([&] { session->showTier(0); });  // counts as a step up
    EXPECT_EQ(sink->numbersSent(0).size(), 2u);
    deliver(0, 3);
    EXPECT_EQ(sink->numbersSent(0).back(), 3u);  // showing the shown tier keeps it flowing

    advance(10000);
    onQueue([&] { session->showTier(2); });
    EXPECT_DOUBLE_EQ(session->proxyReturnHoldMs, 8000);
    onQueue([&] { session->showTier(0); });
    advance(70000);
    onQueue([&] { session->showTier(1); });
    EXPECT_DOUBLE_EQ(session->proxyReturnHoldMs, 4000);
}

TEST_F(SenderSessionTest, ShowingMainCapsTheEstimateButNotBelowTheMinimum) {
    session->rateController.estimateKbps = 9000;
    onQueue([&] { session->showTier(0); });
    EXPECT_EQ(session->rateController.estimateKbps, 3400);
    session->tierProfile.mainProbeKbps = -900;
    onQueue([&] { session->showTier(0); });
    EXPECT_EQ(session->rateController.estimateKbps, 300);
}

TEST_F(SenderSessionTest, RepeatedFailedUpgradesLengthenTheHold) {
    start(4, true);
    onQueue([&] { session->abortTierSwitch(true, "Test"); });
    EXPECT_DOUBLE_EQ(session->proxyReturnHoldMs, 4000);
    onQueue([&] { session->beginParallelTierBuild(0); });
    onQueue([&] { session->abortTierSwitch(true, "Test"); });
    EXPECT_DOUBLE_EQ(session->proxyReturnHoldMs, 8000);
    EXPECT_EQ(session->lastFailedUpgrade, nowNs);
    onQueue([&] { session->beginParallelTierBuild(1); });
    onQueue([&] { session->beginParallelTierBuild(0); });  // a new switch is no failure
    EXPECT_DOUBLE_EQ(session->proxyReturnHoldMs, 8000);
    EXPECT_EQ(session->candidateTier, 0);
}

// --- keyframe requests ---

TEST_F(SenderSessionTest, KeyframeRequestsAreThrottledPerTier) {
    startMainStream();
    onQueue([&] { session->requestKeyframe(Reason::frameLoss); });
    advance(40);
    onQueue([&] { session->requestKeyframe(Reason::frameLoss); });
    EXPECT_EQ(requests.size(), 1u);
    advance(20);
    onQueue([&] { session->requestKeyframe(Reason::frameLoss); });
    EXPECT_EQ(requests.size(), 2u);

    onQueue([&] { session->showTier(2); });
    requests.clear();
    advance(2000);
    onQueue([&] { session->beginParallelTierBuild(0); });  // an upgrade candidate: once a second
    advance(999);
    onQueue([&] { session->requestKeyframe(Reason::frameLoss, 0); });
    advance(2);
    onQueue([&] { session->requestKeyframe(Reason::frameLoss, 0); });
    EXPECT_EQ(requests.size(), 2u);

    onQueue([&] { session->requestKeyframe(Reason::manual, 1); });    // neither shown nor built
    onQueue([&] { session->requestKeyframe(Reason::manual, 200); });  // no such tier
    EXPECT_EQ(requests.size(), 2u);
}

TEST_F(SenderSessionTest, FrameLossRequestsCarryAValidAcknowledgedChain) {
    attach(sink);
    advance(100);
    onQueue([&] {
        session->handleReferenceAck({0, 10, 20});
        session->requestKeyframe(Reason::frameLoss);
    });
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].acknowledged, (FrameNumberRange{10, 20}));

    advance(60);
    onQueue([&] {
        session->handleReferenceAck({0, 30, 20});
        session->requestKeyframe(Reason::frameLoss);
    });
    EXPECT_EQ(requests[1].acknowledged, std::nullopt);
    EXPECT_FALSE(onQueue([&] { return session->handleReferenceAck({3, 1, 2}); }));
    EXPECT_EQ(session->referenceAcks.count(3), 0u);
}

// --- rate collapse ---

TEST_F(SenderSessionTest, CollapseNeedsMoreThan1000OfferedAndADeliveredRateFarBelow) {
    startMainStream();
    session->offeredBytesMeter = RateMeter(2.0);
    session->offeredBytesMeter.record(250'000, nowNs);  // 1000 kbit/s over the window
    session->rateController.estimateKbps = 1000;
    sink->acked = 400;
    sink->overall = SinkCongestion::moderate;
    EXPECT_FALSE(onQueue([&] { return session->checkCollapse(nowNs); }));
    session->offeredBytesMeter.record(250, nowNs);  // 1001 kbit/s
    sink->overall = SinkCongestion::none;
    EXPECT_FALSE(onQueue([&] { return session->checkCollapse(nowNs); }));
    sink->overall = SinkCongestion::moderate;
    EXPECT_TRUE(onQueue([&] { return session->checkCollapse(nowNs); }));
    EXPECT_EQ(session->rateController.estimateKbps, 340);
}

// --- media channel ---

TEST_F(SenderSessionTest, PendingSinkTakesOverWithoutKeyframeAndRetiresTheOldOneASecondLater) {
    startMainStream();
    auto next = std::make_shared<FakeMediaSink>();
    next->connected = false;
    std::promise<void> oldClosed;
    sink->onClose = [&] { oldClosed.set_value(); };
    onQueue([&] { session->prepareMediaChannelSwitch(next); });
    deliver(0, 3);
    EXPECT_EQ(sink->numbersSent(0).back(), 3u);  // still pending

    next->connected = true;
    deliver(0, 4);
    EXPECT_EQ(session->sink, next);
    EXPECT_EQ(next->numbersSent(0), std::vector<uint64_t>{4});
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(onQueue([&] { return sink->closeCount; }), 0);
    EXPECT_EQ(oldClosed.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST_F(SenderSessionTest, PendingSinkAfterTheOldOneStoppedWaitsForKeyframes) {
    startMainStream();
    auto next = std::make_shared<FakeMediaSink>();
    onQueue([&] { session->prepareMediaChannelSwitch(next); });
    sink->connected = false;
    deliver(0, 3);
    EXPECT_EQ(sink->closeCount, 1);
    EXPECT_TRUE(next->sent.empty());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].reason, Reason::frameLoss);
}

TEST_F(SenderSessionTest, AttachAndCloseEndEveryEarlierChannel) {
    start(4, true);
    attach(sink);
    auto pending = std::make_shared<FakeMediaSink>();
    onQueue([&] { session->prepareMediaChannelSwitch(pending); });
    auto next = std::make_shared<FakeMediaSink>();
    requests.clear();
    onQueue([&] { session->attachMediaSink(next); });
    EXPECT_EQ(sink->closeCount, 1);
    EXPECT_EQ(pending->closeCount, 1);
    ASSERT_EQ(requests.size(), 2u);  // the displayed tier and the candidate
    EXPECT_EQ(requests[0].tier, 2);
    EXPECT_EQ(requests[1].tier, 0);
    EXPECT_EQ(requests[1].reason, Reason::connect);

    onQueue([&] { session->close("sender stopped"); });
    EXPECT_EQ(next->closeCount, 1);
    EXPECT_EQ(session->sink, nullptr);
    EXPECT_EQ(testing::goodbyeReason(control), "sender stopped");
}

// --- status ---

TEST_F(SenderSessionTest, ClientStatusDescribesTheSession) {
    session->hotStandbyEnabled = true;
    startMainStream();
    ReceiverReportMessage report{};
    report.framesLost = 2;
    report.framesDropped = 1;
    report.framesLate = -50;
    report.latencyMedianMs = 42;
    report.rttMs = 7;
    onQueue([&] {
        session->recordReport(report);
        report.framesLost = std::numeric_limits<int>::max();
        session->recordReport(report);
        session->recordReport(report);
        session->handleStandbyBridge(true, 2);
        session->handleStandbyBridge(true, 2);
    });
    const ClientStatus status = onQueue([&] { return session->clientStatus(); });
    EXPECT_EQ(status.id, "T1");
    EXPECT_EQ(status.name, "iPad Regie");
    EXPECT_EQ(status.deviceModel, "iPad13,4");
    EXPECT_EQ(status.address, "fe80::1:49152");
    EXPECT_EQ(status.tier, 0);
    EXPECT_TRUE(status.hasStandby);
    EXPECT_TRUE(status.isMediaConnected);
    EXPECT_TRUE(status.isBridging);
    EXPECT_EQ(status.bridgeCount, 1);
    EXPECT_EQ(status.sentKbps, 8);  // 2000 bytes over 2 s
    EXPECT_DOUBLE_EQ(status.latencyMs, 42);
    EXPECT_EQ(status.framesLostAtReceiver, 2 + 2 * int64_t{std::numeric_limits<int>::max()});
    EXPECT_EQ(status.framesDroppedAtReceiver, 3);
    EXPECT_EQ(session->unconsumedReport, report);

    session->receiverLostTotal = std::numeric_limits<int64_t>::max() - 1;
    onQueue([&] { session->recordReport(report); });
    EXPECT_EQ(session->receiverLostTotal, std::numeric_limits<int64_t>::max());
}

}  // namespace
}  // namespace kelvora
