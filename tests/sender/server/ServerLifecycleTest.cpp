#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include "ServerTesting.h"
#include "core/KelvoraService.h"
#include "platform/DnsSdBrowser.h"

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;

TEST(SenderServerListener, BusyPreferredPortFallsBackToAFreePortForTheServersLife) {
    asio::io_context context;
    asio::ip::tcp::acceptor blocker(context, {asio::ip::address_v4::any(), 0});
    const uint16_t busy = blocker.local_endpoint().port();

    ServerFixture fixture({std::make_shared<NativeTCPEngine>()}, busy);
    const uint16_t port = fixture.port();
    EXPECT_NE(port, 0);
    EXPECT_NE(port, busy);
    EXPECT_TRUE(fixture.onQueue([&] { return fixture.server->fixedPortUnavailable(); }));
    EXPECT_TRUE(fixture.joinedViewer("reaches-it"));

    blocker.close();
    fixture.onQueue(
        [&] { fixture.server->restart({std::make_shared<NativeTCPEngine>()}, testAnnouncement()); });
    EXPECT_TRUE(fixture.onQueue([&] { return fixture.server->fixedPortUnavailable(); }));
    EXPECT_NE(fixture.port(), 0);
    EXPECT_TRUE(fixture.joinedViewer("after-restart"));
}

TEST(SenderServerListener, FreePreferredPortIsUsed) {
    uint16_t wanted;
    {
        asio::io_context context;
        asio::ip::tcp::acceptor probe(context, {asio::ip::address_v6::any(), 0});
        wanted = probe.local_endpoint().port();
    }
    ServerFixture fixture({std::make_shared<NativeTCPEngine>()}, wanted);
    EXPECT_EQ(fixture.port(), wanted);
    EXPECT_FALSE(fixture.onQueue([&] { return fixture.server->fixedPortUnavailable(); }));
}

TEST(SenderServerLifecycle, StopEndsSessionsWithAReasonAndPendingConnectionsWithout) {
    auto engine = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), engine});
    auto viewer = fixture.joinedViewer("watching");
    ASSERT_TRUE(viewer);
    TestViewer silent(fixture.port());
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == 1; }));

    fixture.server->stop();
    EXPECT_EQ(viewer->goodbyeReason(), "sender stopped");
    EXPECT_EQ(silent.next(), std::nullopt) << "a connection without hello got a goodbye";
    fixture.onQueue([&] {
        EXPECT_FALSE(fixture.server->isRunning());
        EXPECT_TRUE(fixture.server->sessions().empty());
        EXPECT_EQ(engine->stops, 1);
    });
    // A second stop does nothing.
    fixture.server->stop();
    fixture.onQueue([&] { EXPECT_EQ(engine->stops, 1); });
}

TEST(SenderServerLifecycle, RestartWhileRunningEndsSessionsAndStartsAgain) {
    auto first = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    auto second = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), first});
    auto viewer = fixture.joinedViewer("restarted");
    ASSERT_TRUE(viewer);

    fixture.onQueue([&] {
        fixture.server->restart({std::make_shared<NativeTCPEngine>(), second},
                                testAnnouncement("Neuer Name"));
    });
    EXPECT_EQ(viewer->goodbyeReason(), "sender restarting");
    fixture.onQueue([&] {
        EXPECT_EQ(first->stops, 1);
        EXPECT_EQ(second->starts, 1);
        EXPECT_EQ(second->lastContext, fixture.server->engineContext()) << "engines must share one context";
        EXPECT_TRUE(fixture.server->isRunning());
    });
    TestViewer again(fixture.port());
    auto welcome = again.join(TestViewer::hello("again"));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->senderName, "Neuer Name");
}

TEST(SenderServerLifecycle, RestartOfAStoppedServerOnlySwapsAndReports) {
    ServerFixture fixture;
    fixture.server->stop();
    auto engine = std::make_shared<RecordingEngine>(EngineKind::tcp(), true);
    const size_t before = fixture.sessionsChanged.values().size() + 1;
    fixture.onQueue([&] {
        fixture.server->restart({engine}, testAnnouncement("Anders"));
        EXPECT_FALSE(fixture.server->isRunning());
        EXPECT_EQ(engine->starts, 0);
        EXPECT_EQ(fixture.server->announcement().senderName, "Anders");
    });
    EXPECT_GE(fixture.sessionsChanged.values().size(), before);
}

TEST(SenderServerLifecycle, DisconnectEndsOneViewerAndIgnoresUnknownTokens) {
    ServerFixture fixture;
    auto leaving = fixture.joinedViewer("leaving");
    ASSERT_TRUE(leaving);
    const std::string token = fixture.onlySession()->token;
    auto staying = fixture.joinedViewer("staying");
    ASSERT_TRUE(staying);

    fixture.server->disconnect("00000000-0000-0000-0000-000000000000");
    fixture.server->disconnect(token);
    EXPECT_EQ(leaving->goodbyeReason(), "disconnected by sender");
    EXPECT_EQ(fixture.sessionCount(), 1u);
    staying->send(TimeSyncRequest{});
    EXPECT_TRUE(staying->nextOf<TimeSyncResponse>());
}

TEST(SenderServerLifecycle, EngineContextFindsSessionsByTokenWhileTheServerLives) {
    std::shared_ptr<StreamingEngineContext> context;
    std::string token;
    {
        ServerFixture fixture;
        auto viewer = fixture.joinedViewer("looked-up");
        ASSERT_TRUE(viewer);
        token = fixture.onlySession()->token;
        context = fixture.onQueue([&] { return fixture.server->engineContext(); });
        fixture.onQueue([&] {
            EXPECT_EQ(context->session(token), fixture.server->sessions().at(token));
            EXPECT_EQ(context->session("unknown"), nullptr);
        });
    }
    context->queue().sync([&] { EXPECT_EQ(context->session(token), nullptr); });
}

TEST(SenderServerAnnouncement, RegistersItselfAndRefreshesTheRecordOnlyWhenItChanges) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string name = "Server-Test " + std::to_string(::getpid());
    ServerFixture fixture({std::make_shared<NativeTCPEngine>()}, 0, testAnnouncement(name));
    const uint16_t port = fixture.port();

    auto browseQueue = std::make_shared<SerialQueue>(SerialQueue::labelFor("browser"));
    DnsSdBrowser browser(browseQueue, std::string(KelvoraService::serviceType));
    Eventually<std::vector<DnsSdService>> results;
    browser.setResultsHandler([&](const std::vector<DnsSdService>& list) { results.push(list); });
    browser.start();

    auto find = [&](const std::string& wanted, uint16_t port,
                    const std::function<bool(const ServiceAnnouncement&)>& condition) {
        return results.waitFor([&](const std::vector<DnsSdService>& list) {
            for (const auto& service : list) {
                if (service.name != wanted || service.port != port) {
                    continue;
                }
                auto announced = ServiceAnnouncement::fromTxtRecord(service.txt);
                if (announced && condition(*announced)) {
                    return true;
                }
            }
            return false;
        });
    };
    EXPECT_TRUE(find(name, port, [](const auto& announced) { return announced.frameRate == 30; }));

    ServiceAnnouncement faster = testAnnouncement(name);
    faster.frameRate = 60;
    fixture.server->updateAnnouncement(faster);
    EXPECT_TRUE(find(name, port, [](const auto& announced) { return announced.frameRate == 60; }));
    EXPECT_EQ(fixture.port(), port) << "a changed record alone must not replace the listener";

    ServiceAnnouncement renamed = faster;
    renamed.senderName = name + " neu";
    fixture.server->updateAnnouncement(renamed);
    EXPECT_TRUE(find(renamed.senderName, fixture.port(),
                     [](const auto& announced) { return announced.frameRate == 60; }));
}
