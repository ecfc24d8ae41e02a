#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include "ServerTesting.h"
#include "core/KelvoraService.h"
#include "platform/DnsSdBrowser.h"

using namespace kelvora;
using namespace kelvora::testing;

TEST(SenderServerListener, BusyPreferredPortFallsBackToAFreePortForTheServersLife) {
    asio::io_context context;
    asio::ip::tcp::acceptor blocker(context, {asio::ip::address_v4::any(), 0});
    const uint16_t busy = blocker.local_endpoint().port();

    ServerFixture fixture({std::make_shared<NativeTCPEngine>()}, busy);
    EXPECT_NE(fixture.port(), 0);
    EXPECT_NE(fixture.port(), busy);
    EXPECT_TRUE(fixture.onQueue([&] { return fixture.server->fixedPortUnavailable(); }));
    EXPECT_TRUE(fixture.joinedViewer("reaches-it"));

    blocker.close();
    fixture.onQueue(
        [&] { fixture.server->restart({std::make_shared<NativeTCPEngine>()}, testAnnouncement()); });
    EXPECT_TRUE(fixture.onQueue([&] { return fixture.server->fixedPortUnavailable(); }));
    EXPECT_TRUE(fixture.joinedViewer("after-restart"));
}

TEST(SenderServerLifecycle, DisconnectAndStopEndSessionsWithAReasonAndPendingConnectionsWithout) {
    auto engine = std::make_shared<RecordingEngine>(EngineKind::quic(), false);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), engine});
    auto viewer = fixture.joinedViewer("watching");
    ASSERT_TRUE(viewer);
    TestViewer silent(fixture.port());
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == 1; }));

    auto leaving = fixture.joinedViewer("leaving");
    ASSERT_TRUE(leaving);
    const std::string token = fixture.onQueue([&] {
        for (const auto& [token, session] : fixture.server->sessions()) {
            if (session->hello.clientID == "leaving") {
                return token;
            }
        }
        return std::string();
    });
    fixture.server->disconnect("00000000-0000-0000-0000-000000000000");
    fixture.server->disconnect(token);
    EXPECT_EQ(leaving->goodbyeReason(), "disconnected by sender");
    EXPECT_EQ(fixture.sessionCount(), 1u);

    fixture.server->stop();
    fixture.server->stop();
    EXPECT_EQ(viewer->goodbyeReason(), "sender stopped");
    EXPECT_EQ(silent.next(), std::nullopt) << "a connection without hello got a goodbye";
    fixture.onQueue([&] {
        EXPECT_FALSE(fixture.server->isRunning());
        EXPECT_EQ(engine->stops, 1) << "every engine stops once, available or not";
    });
}

TEST(SenderServerLifecycle, RestartEndsSessionsOfARunningServerAndOnlySwapsOnAStoppedOne) {
    auto first = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    auto second = std::make_shared<RecordingEngine>(EngineKind::quic(), true);
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), first});
    auto viewer = fixture.joinedViewer("restarted");
    ASSERT_TRUE(viewer);
    const std::string token = fixture.onlySession()->token;
    auto context = fixture.onQueue([&] { return fixture.server->engineContext(); });
    fixture.onQueue([&] { EXPECT_EQ(context->session(token), fixture.server->sessions().at(token)); });

    fixture.onQueue([&] {
        fixture.server->restart({std::make_shared<NativeTCPEngine>(), second}, testAnnouncement("Neu"));
    });
    EXPECT_EQ(viewer->goodbyeReason(), "sender restarting");
    fixture.onQueue([&] {
        EXPECT_EQ(first->stops, 1);
        EXPECT_EQ(second->starts, 1);
        EXPECT_EQ(second->lastContext, context) << "every engine gets the one context";
        EXPECT_EQ(context->session(token), nullptr);
    });
    TestViewer again(fixture.port());
    auto welcome = again.join(TestViewer::hello("again"));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->senderName, "Neu");

    fixture.server->stop();
    const size_t changes = fixture.onQueue([&] { return fixture.sessionsChanged.values().size(); });
    fixture.onQueue([&] {
        fixture.server->restart({first}, testAnnouncement("Gestoppt"));
        EXPECT_FALSE(fixture.server->isRunning());
        EXPECT_EQ(first->starts, 1);
    });
    EXPECT_EQ(fixture.sessionsChanged.values().size(), changes + 1);
}

TEST(SenderServerAnnouncement, RegistersItselfAndRefreshesTheRecordOnlyWhenItChanges) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string name = "Server-Test " + std::to_string(::getpid());
    // Started first, so that it would be on the network by the time the announced one is.
    ServerFixture hidden({std::make_shared<NativeTCPEngine>()}, 0, testAnnouncement(name + " verborgen"));
    ServerFixture fixture({std::make_shared<NativeTCPEngine>()}, 0, testAnnouncement(name),
                          /*announce=*/true);
    const uint16_t port = fixture.port();

    DnsSdBrowser browser(std::make_shared<SerialQueue>(SerialQueue::labelFor("browser")),
                         std::string(KelvoraService::serviceType));
    Eventually<std::vector<DnsSdService>> results;
    browser.setResultsHandler([&](const std::vector<DnsSdService>& list) { results.push(list); });
    browser.start();
    auto announced = [&](const std::string& wanted, uint16_t wantedPort, int frameRate) {
        return results.waitFor([&](const std::vector<DnsSdService>& list) {
            for (const auto& service : list) {
                auto read = ServiceAnnouncement::fromTxtRecord(service.txt);
                if (service.name == wanted && service.port == wantedPort && read &&
                    read->frameRate == frameRate) {
                    return true;
                }
            }
            return false;
        });
    };
    EXPECT_TRUE(announced(name, port, 30));
    const auto seen = results.values();
    for (const auto& service : seen.back()) {
        EXPECT_NE(service.port, hidden.port()) << "a server told not to announce itself is on the network";
    }

    ServiceAnnouncement faster = testAnnouncement(name);
    faster.frameRate = 60;
    fixture.server->updateAnnouncement(faster);
    EXPECT_TRUE(announced(name, port, 60));
    EXPECT_EQ(fixture.port(), port) << "a changed record alone must not replace the listener";

    faster.senderName = name + " neu";
    fixture.server->updateAnnouncement(faster);
    EXPECT_TRUE(announced(faster.senderName, fixture.port(), 60));
}

TEST(SenderServerAnnouncement, NamesOnlyTheEnginesThatAreAvailableOnceStarted) {
    auto unavailable = std::make_shared<RecordingEngine>(EngineKind::quic(), false);
    auto usable = std::make_shared<RecordingEngine>(EngineKind::srt(), true);
    ServiceAnnouncement announcement = testAnnouncement();
    announcement.engines = {EngineKind::tcp(), EngineKind::quic(), EngineKind::srt()};
    ServerFixture fixture({std::make_shared<NativeTCPEngine>(), unavailable, usable}, 0, announcement);
    fixture.onQueue([&] {
        EXPECT_EQ(fixture.server->announcement().engines,
                  (std::vector<EngineKind>{EngineKind::tcp(), EngineKind::srt()}));
        EXPECT_EQ(unavailable->starts, 0);
        EXPECT_EQ(usable->starts, 1);
    });
}
