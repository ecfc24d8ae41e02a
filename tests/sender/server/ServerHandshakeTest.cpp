#include <gtest/gtest.h>

#include <regex>

#include "ServerTesting.h"

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;

TEST(SenderServerHandshake, SilentConnectionIsClosedWithHelloTimeoutAtFiveSeconds) {
    ServerFixture fixture;
    TestViewer viewer(fixture.port());
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == 1; }));

    fixture.timers->advance(4999ms);
    EXPECT_EQ(fixture.pendingCount(), 1u);
    EXPECT_FALSE(viewer.next(50ms)) << "closed before the five seconds were up";
    fixture.timers->advance(1ms);
    EXPECT_EQ(viewer.goodbyeReason(), "hello timeout");
    EXPECT_TRUE(viewer.closedByServer());
    EXPECT_EQ(fixture.pendingCount(), 0u);
}

TEST(SenderServerHandshake, RefusesAFirstMessageOtherThanHelloAndVersionsOutsideTwoToFour) {
    ServerFixture fixture;
    TestViewer rude(fixture.port());
    rude.send(KeyframeRequestMessage{});
    EXPECT_EQ(rude.goodbyeReason(), "expected hello");
    EXPECT_TRUE(rude.closedByServer());

    for (int version : {1, 5}) {
        TestViewer viewer(fixture.port());
        viewer.send(TestViewer::hello("v" + std::to_string(version), version));
        auto answer = viewer.next();
        ASSERT_TRUE(answer && answer->is<GoodbyeMessage>()) << "version " << version << " got a welcome";
        EXPECT_EQ(answer->get<GoodbyeMessage>()->reason, "protocol version mismatch");
    }
    std::vector<std::unique_ptr<TestViewer>> accepted;
    for (int version : {2, 3, 4}) {
        accepted.push_back(std::make_unique<TestViewer>(fixture.port()));
        auto welcome = accepted.back()->join(TestViewer::hello("v" + std::to_string(version), version));
        ASSERT_TRUE(welcome) << "version " << version;
        EXPECT_EQ(welcome->protocolVersion, 4);
    }
    EXPECT_EQ(fixture.sessionCount(), 3u);
}

TEST(SenderServerHandshake, WelcomeThenTuningThenFrames) {
    ServerFixture fixture;
    fixture.tuning.maximumFrameRate = 50;
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
    EXPECT_TRUE(
        std::regex_match(welcome.sessionToken, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
        << welcome.sessionToken;
    EXPECT_EQ(fixture.onlySession()->token, welcome.sessionToken);

    auto second = viewer.next();
    ASSERT_TRUE(second && second->is<StreamTuning>());
    EXPECT_EQ(*second->get<StreamTuning>(), fixture.tuning);

    // The TCP engine attached the sink right after: the connect keyframe was asked for, and frames flow.
    EXPECT_TRUE(fixture.keyframeRequests.waitFor(
        [](auto reason) { return reason == KeyframeRequestMessage::Reason::connect; }));
    fixture.deliver(testFrame(1, true));
    auto third = viewer.next();
    ASSERT_TRUE(third && third->is<EncodedVideoFrame>());

    // A viewer that does not say it supports tuning gets none.
    TestViewer plain(fixture.port());
    ASSERT_TRUE(plain.join(TestViewer::hello("plain", 4, std::nullopt)));
    fixture.deliver(testFrame(2, true));
    auto next = plain.next();
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->is<EncodedVideoFrame>()) << typeCodeName(next->typeCode());
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

TEST(SenderServerHandshake, EngineOfTheWishedKindWhenAvailableElseTcp) {
    auto unavailable = std::make_shared<RecordingEngine>(EngineKind::quic(), false);
    auto available = std::make_shared<RecordingEngine>(EngineKind::srt(), true);
    ServerFixture fixture({unavailable, std::make_shared<NativeTCPEngine>(), available});
    std::vector<std::unique_ptr<TestViewer>> viewers;
    for (const EngineKind& wish : {EngineKind::quic(), EngineKind::webrtc(), EngineKind::srt()}) {
        viewers.push_back(std::make_unique<TestViewer>(fixture.port()));
        auto welcome = viewers.back()->join(TestViewer::hello("wants-" + wish.rawValue, 4, true, wish));
        ASSERT_TRUE(welcome);
        if (wish == EngineKind::srt()) {
            EXPECT_EQ(welcome->engine, wish);
            EXPECT_EQ(welcome->engineParameters.at("testPort"), "4711");
        } else {
            EXPECT_EQ(welcome->engine, EngineKind::tcp());
            EXPECT_TRUE(welcome->engineParameters.empty());
        }
    }
    fixture.onQueue([&] {
        EXPECT_EQ(unavailable->starts, 0);
        EXPECT_TRUE(unavailable->sinks.empty());
        EXPECT_EQ(available->starts, 1);
        EXPECT_EQ(available->sinks.size(), 1u);
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

TEST(SenderServerDispatch, SilentViewerIsDroppedAfterMoreThanEightSeconds) {
    ServerFixture fixture;
    auto viewer = fixture.joinedViewer("quiet");
    ASSERT_TRUE(viewer);

    // A message at 5 s restarts the count; its answer carries the arrival time.
    fixture.timers->advance(5s);
    const uint64_t arrival = fixture.timers->now();
    viewer->send(TimeSyncRequest{{42, 0, 0}});
    auto response = viewer->nextOf<TimeSyncResponse>();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->clientSendTime, 42u);
    EXPECT_EQ(response->serverReceiveTime, arrival);

    // Housekeeping runs every second; exactly 8 s of silence is still tolerated.
    fixture.timers->advance(8s);
    EXPECT_EQ(fixture.sessionCount(), 1u);
    fixture.timers->advance(1s);
    EXPECT_EQ(fixture.sessionCount(), 0u);
    EXPECT_EQ(viewer->goodbyeReason(), "timeout");
}

TEST(SenderServerDispatch, ViewerMessagesReachSessionCallbacksAndEngine) {
    auto quic = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), quic});
    auto viewer = fixture.joinedViewer("chatty");
    ASSERT_TRUE(viewer);
    auto session = fixture.onlySession();
    fixture.timers->advance(100ms);  // past the throttle of the connect request

    viewer->send(KeyframeRequestMessage{KeyframeRequestMessage::Reason::manual, std::nullopt});
    viewer->send(ReferenceAckMessage{0, 10, 20});
    viewer->send(ReferenceAckMessage{0, 10, 0});
    ReceiverReportMessage report;
    report.framesLost = 3;
    report.framesDropped = 2;
    report.framesLate = 1;
    viewer->send(report);
    viewer->send(QualityPreferenceMessage{StreamQuality::proxy});
    viewer->send(FrameRateLimitMessage{25});
    viewer->send(StandbyBridgeMessage{true, 2});
    viewer->send(RestartSourceMessage{});
    viewer->send(StreamTuningUpdate{});
    viewer->send(EngineSignalMessage{EngineKind::quic(), "rotate", ""});
    viewer->send(EngineSignalMessage{EngineKind::srt(), "unknown engine", ""});
    viewer->send(TimeSyncRequest{});
    ASSERT_TRUE(viewer->nextOf<TimeSyncResponse>());  // everything before it has been handled

    EXPECT_TRUE(fixture.keyframeRequests.waitFor(
        [](auto reason) { return reason == KeyframeRequestMessage::Reason::manual; }));
    // A cleared acknowledgement is passed on too.
    EXPECT_EQ(fixture.referenceAcks.values().size(), 2u);
    EXPECT_EQ(fixture.events.values(), (std::vector<std::string>{"report", "restart", "tuning"}));
    fixture.onQueue([&] {
        EXPECT_EQ(session->referenceAcks.count(0), 0u);
        EXPECT_EQ(session->qualityPreference, StreamQuality::proxy);
        EXPECT_EQ(session->receiverMaxFps, 25);
        EXPECT_TRUE(session->isBridging);
        EXPECT_EQ(session->receiverLostTotal, 3);
        EXPECT_EQ(session->receiverDroppedTotal, 3);
        ASSERT_EQ(quic->signals.size(), 1u);
        EXPECT_EQ(quic->signals[0].kind, "rotate");
    });

    // The viewer's goodbye ends its session without one in return.
    viewer->send(GoodbyeMessage{"receiver stopped"});
    ASSERT_TRUE(waitUntil([&] { return fixture.sessionCount() == 0; }));
    EXPECT_FALSE(viewer->nextOf<GoodbyeMessage>());
}
