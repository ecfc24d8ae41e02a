#include <gtest/gtest.h>

#include <cctype>

#include "ServerTesting.h"

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;

namespace {

bool isUpperCaseUuid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') {
                return false;
            }
        } else if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F')) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(SenderServerHandshake, SilentConnectionIsClosedWithHelloTimeoutAtFiveSeconds) {
    ServerFixture fixture;
    TestViewer viewer(fixture.port());
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == 1; }));

    fixture.timers->advance(4999ms);
    EXPECT_EQ(fixture.pendingCount(), 1u);
    EXPECT_FALSE(viewer.next(50ms)) << "closed before the five seconds were up";

    fixture.timers->advance(1ms);
    EXPECT_EQ(fixture.pendingCount(), 0u);
    EXPECT_EQ(viewer.goodbyeReason(), "hello timeout");
    EXPECT_TRUE(viewer.closedByServer());
}

TEST(SenderServerHandshake, FirstMessageOtherThanHelloIsRefused) {
    ServerFixture fixture;
    TestViewer viewer(fixture.port());
    viewer.send(KeyframeRequestMessage{});
    EXPECT_EQ(viewer.goodbyeReason(), "expected hello");
    EXPECT_TRUE(viewer.closedByServer());
    EXPECT_EQ(fixture.sessionCount(), 0u);
}

TEST(SenderServerHandshake, OnlyProtocolVersionsTwoToFourAreWelcomedAndTheWelcomeAlwaysSaysFour) {
    ServerFixture fixture;
    for (int version : {1, 5}) {
        TestViewer viewer(fixture.port());
        viewer.send(TestViewer::hello("old-" + std::to_string(version), version));
        auto first = viewer.next();
        ASSERT_TRUE(first);
        ASSERT_TRUE(first->is<GoodbyeMessage>()) << "version " << version << " got an answer";
        EXPECT_EQ(first->get<GoodbyeMessage>()->reason, "protocol version mismatch");
    }
    std::vector<std::unique_ptr<TestViewer>> accepted;
    for (int version : {2, 3, 4}) {
        accepted.push_back(std::make_unique<TestViewer>(fixture.port()));
        auto welcome = accepted.back()->join(TestViewer::hello("ok-" + std::to_string(version), version));
        ASSERT_TRUE(welcome) << "version " << version;
        EXPECT_EQ(welcome->protocolVersion, 4);
    }
    EXPECT_EQ(fixture.sessionCount(), 3u);
}

TEST(SenderServerHandshake, WelcomeThenTuningThenFrames) {
    ServerFixture fixture;
    fixture.tuning.tiers.push_back({});
    TestViewer viewer(fixture.port());
    viewer.send(TestViewer::hello("ordered"));

    auto first = viewer.next();
    ASSERT_TRUE(first && first->is<WelcomeMessage>());
    const WelcomeMessage welcome = *first->get<WelcomeMessage>();
    EXPECT_EQ(welcome.senderName, "Testsender");
    EXPECT_EQ(welcome.senderID, testAnnouncement().senderID);
    EXPECT_EQ(welcome.engine, EngineKind::tcp());
    EXPECT_TRUE(welcome.engineParameters.empty());
    EXPECT_EQ(welcome.stream, testStreamInfo());
    EXPECT_EQ(welcome.supportsTuning, true);
    EXPECT_TRUE(isUpperCaseUuid(welcome.sessionToken)) << welcome.sessionToken;
    auto session = fixture.onlySession();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->token, welcome.sessionToken);

    auto second = viewer.next();
    ASSERT_TRUE(second && second->is<StreamTuning>());
    EXPECT_EQ(*second->get<StreamTuning>(), fixture.tuning);

    // The TCP engine attached the sink right after: the connect keyframe was asked for, and frames flow.
    EXPECT_TRUE(fixture.keyframeRequests.waitFor(
        [](const auto& request) { return request.reason == KeyframeRequestMessage::Reason::connect; }));
    fixture.deliver(testFrame(1, true));
    auto third = viewer.next();
    ASSERT_TRUE(third && third->is<EncodedVideoFrame>());
    EXPECT_EQ(third->get<EncodedVideoFrame>()->frameNumber, 1u);
}

TEST(SenderServerHandshake, ViewerWithoutTuningSupportGetsNoTuning) {
    ServerFixture fixture;
    TestViewer viewer(fixture.port());
    ASSERT_TRUE(viewer.join(TestViewer::hello("plain", 4, std::nullopt)));
    fixture.deliver(testFrame(1, true));
    auto next = viewer.next();
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->is<EncodedVideoFrame>()) << "got " << typeCodeName(next->typeCode());
}

TEST(SenderServerHandshake, SecondHelloOfTheSameViewerReplacesTheFirst) {
    ServerFixture fixture;
    auto first = fixture.joinedViewer("same-id");
    ASSERT_TRUE(first);
    const std::string firstToken = fixture.onlySession()->token;

    auto second = fixture.joinedViewer("same-id");
    ASSERT_TRUE(second);
    EXPECT_EQ(first->goodbyeReason(), "replaced");
    EXPECT_TRUE(first->closedByServer());
    auto session = fixture.onlySession();
    ASSERT_TRUE(session);
    EXPECT_NE(session->token, firstToken);
}

TEST(SenderServerHandshake, UnavailableOrMissingEngineFallsBackToTcp) {
    auto quic = std::make_shared<RecordingEngine>(EngineKind::quic(), false);
    ServerFixture fixture({quic, std::make_shared<NativeTCPEngine>()});
    for (const EngineKind& wish : {EngineKind::quic(), EngineKind::srt()}) {
        TestViewer viewer(fixture.port());
        auto welcome = viewer.join(TestViewer::hello("wants-" + wish.rawValue, 4, true, wish));
        ASSERT_TRUE(welcome);
        EXPECT_EQ(welcome->engine, EngineKind::tcp());
        EXPECT_TRUE(welcome->engineParameters.empty());
    }
    fixture.onQueue([&] {
        EXPECT_EQ(quic->starts, 0) << "an unavailable engine was started";
        EXPECT_TRUE(quic->sinks.empty());
    });
}

TEST(SenderServerHandshake, AvailableEngineOfTheWishedKindIsChosen) {
    auto quic = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), quic});
    TestViewer viewer(fixture.port());
    auto welcome = viewer.join(TestViewer::hello("quic-viewer", 4, true, EngineKind::quic()));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->engine, EngineKind::quic());
    EXPECT_EQ(welcome->engineParameters, (std::map<std::string, std::string>{{"testPort", "4711"}}));
    fixture.onQueue([&] {
        EXPECT_EQ(quic->starts, 1);
        EXPECT_EQ(quic->sinks.size(), 1u);
    });
}

TEST(SenderServerHandshake, WithoutAnyTcpEngineAViewerIsRefusedInsteadOfCrashing) {
    ServerFixture fixture({std::make_shared<RecordingEngine>(EngineKind::quic(), false)});
    TestViewer viewer(fixture.port());
    viewer.send(TestViewer::hello("nowhere"));
    auto answer = viewer.next();
    ASSERT_TRUE(answer && answer->is<GoodbyeMessage>());
    EXPECT_EQ(answer->get<GoodbyeMessage>()->reason, SenderServer::noEngineReason);
    EXPECT_EQ(fixture.sessionCount(), 0u);
}

TEST(SenderServerHandshake, ProxyStartNeedsProtocolThreeAndRateLimitsAreClamped) {
    ServerFixture fixture;
    fixture.onQueue([&] {
        fixture.server->callbacks.startsOnProxy = [] { return true; };
        fixture.server->callbacks.rateLimitsProvider = [] { return RateLimits{50000, 300, 40000}; };
    });
    TestViewer modern(fixture.port());
    ASSERT_TRUE(modern.join(TestViewer::hello("v3", 3)));
    TestViewer old(fixture.port());
    ASSERT_TRUE(old.join(TestViewer::hello("v2", 2)));
    fixture.onQueue([&] {
        for (const auto& [token, session] : fixture.server->sessions()) {
            EXPECT_EQ(session->rateController.estimateKbps, 40000);
            if (session->hello.protocolVersion == 3) {
                EXPECT_EQ(session->tier, 2);
                EXPECT_EQ(session->candidateTier, std::optional<uint8_t>(0));
            } else {
                EXPECT_EQ(session->tier, 0);
                EXPECT_EQ(session->candidateTier, std::nullopt);
            }
        }
    });
}

TEST(SenderServerDispatch, SilentViewerIsDroppedAfterMoreThanEightSeconds) {
    ServerFixture fixture;
    auto viewer = fixture.joinedViewer("quiet");
    ASSERT_TRUE(viewer);

    // A message at 5 s restarts the count.
    fixture.timers->advance(5s);
    viewer->send(TimeSyncRequest{});
    ASSERT_TRUE(viewer->nextOf<TimeSyncResponse>());

    // Housekeeping passes come every second; at exactly 8 s of silence the viewer is still tolerated.
    fixture.timers->advance(8s);
    EXPECT_EQ(fixture.sessionCount(), 1u);
    fixture.timers->advance(1s);
    EXPECT_EQ(fixture.sessionCount(), 0u);
    EXPECT_EQ(viewer->goodbyeReason(), "timeout");
}

TEST(SenderServerDispatch, TimeSyncAnswerCarriesTheArrivalTime) {
    ServerFixture fixture;
    auto viewer = fixture.joinedViewer("clock");
    ASSERT_TRUE(viewer);
    fixture.timers->advance(1234ms);
    const uint64_t now = fixture.timers->now();
    TimeSyncRequest request;
    request.clientSendTime = 42;
    viewer->send(request);
    auto response = viewer->nextOf<TimeSyncResponse>();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->clientSendTime, 42u);
    EXPECT_EQ(response->serverReceiveTime, now);
    EXPECT_GE(response->serverSendTime, response->serverReceiveTime);
}

TEST(SenderServerDispatch, ViewerMessagesReachSessionAndCallbacks) {
    auto tcp = std::make_shared<NativeTCPEngine>();
    auto quic = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({tcp, quic});
    auto viewer = fixture.joinedViewer("chatty");
    ASSERT_TRUE(viewer);
    auto session = fixture.onlySession();
    ASSERT_TRUE(session);
    // Past the throttle of the connect request.
    fixture.timers->advance(100ms);

    KeyframeRequestMessage keyframe;
    keyframe.reason = KeyframeRequestMessage::Reason::manual;
    viewer->send(keyframe);
    EXPECT_TRUE(fixture.keyframeRequests.waitFor(
        [](const auto& request) { return request.reason == KeyframeRequestMessage::Reason::manual; }));

    ReferenceAckMessage ack{0, 10, 20};
    viewer->send(ack);
    viewer->send(ReferenceAckMessage{0, 10, 0});
    EXPECT_TRUE(fixture.referenceAcks.waitFor([](const auto& received) { return received.newest == 0; }));
    fixture.onQueue([&] { EXPECT_EQ(session->referenceAcks.count(0), 0u); });

    ReceiverReportMessage report;
    report.framesLost = 3;
    report.framesDropped = 2;
    report.framesLate = 1;
    viewer->send(report);
    EXPECT_TRUE(fixture.reports.waitFor([](int) { return true; }));

    viewer->send(QualityPreferenceMessage{StreamQuality::proxy});
    viewer->send(FrameRateLimitMessage{25});
    viewer->send(StandbyBridgeMessage{true, 2});
    viewer->send(RestartSourceMessage{});
    StreamTuningUpdate update;
    update.tiers.push_back({});
    viewer->send(update);
    EngineSignalMessage signal;
    signal.engine = EngineKind::quic();
    signal.kind = "rotate";
    viewer->send(signal);
    EXPECT_TRUE(fixture.restartRequests.waitFor([](int) { return true; }));
    EXPECT_TRUE(
        fixture.tuningUpdates.waitFor([](const StreamTuning& tuning) { return tuning.tiers.size() == 1; }));

    // Everything above was handled in order; a final round trip proves the last one arrived too.
    viewer->send(TimeSyncRequest{});
    ASSERT_TRUE(viewer->nextOf<TimeSyncResponse>());
    fixture.onQueue([&] {
        EXPECT_EQ(session->qualityPreference, StreamQuality::proxy);
        EXPECT_EQ(session->receiverMaxFps, 25);
        EXPECT_TRUE(session->isBridging);
        EXPECT_EQ(session->receiverLostTotal, 3);
        EXPECT_EQ(session->receiverDroppedTotal, 3);
        ASSERT_EQ(quic->signals.size(), 1u);
        EXPECT_EQ(quic->signals[0].kind, "rotate");
    });
}

TEST(SenderServerDispatch, ViewersGoodbyeEndsItsSessionWithoutAnAnswer) {
    ServerFixture fixture;
    auto viewer = fixture.joinedViewer("polite");
    ASSERT_TRUE(viewer);
    viewer->send(GoodbyeMessage{"receiver stopped"});
    ASSERT_TRUE(waitUntil([&] { return fixture.sessionCount() == 0; }));
    EXPECT_FALSE(viewer->nextOf<GoodbyeMessage>()) << "the sender answered a goodbye with one";
}
