#include <gtest/gtest.h>

#include "ServerTesting.h"
#include "core/ByteWriter.h"

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;

namespace {

uint32_t loopback(uint32_t host) {
    return 0x7F000000u | host;
}

// Whether the server ended the connection without sending anything.
bool refusedSilently(RawPeer& peer) {
    RawPeer::Outcome outcome = RawPeer::Outcome::data;
    const auto message = peer.readMessage(&outcome, 5s);
    return !message && (outcome == RawPeer::Outcome::endOfStream || outcome == RawPeer::Outcome::reset);
}

Bytes header(ControlMessage::TypeCode type, uint32_t length) {
    ByteWriter writer;
    writer.writeUInt8(static_cast<uint8_t>(type));
    writer.writeUInt32(length);
    return std::move(writer).take();
}

}  // namespace

TEST(SenderServerAdmission, CapsConnectionsWithoutHelloPerAddressAndOverallWhileViewersKeepWatching) {
    ServerFixture fixture;
    auto watcher = fixture.joinedViewer("watcher");
    ASSERT_TRUE(watcher);

    std::vector<RawPeer> held;
    for (size_t i = 0; i < SenderServer::maximumPendingPerAddress; ++i) {
        held.push_back(RawPeer::connectTo(fixture.port()));
    }
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == SenderServer::maximumPendingPerAddress; }));
    RawPeer oneTooMany = RawPeer::connectTo(fixture.port());
    EXPECT_TRUE(refusedSilently(oneTooMany));

    // Other addresses fill the overall cap; the next one is refused although its own address has room.
    for (uint32_t host = 2; held.size() < SenderServer::maximumPendingConnections; ++host) {
        for (size_t i = 0; i < SenderServer::maximumPendingPerAddress &&
                           held.size() < SenderServer::maximumPendingConnections;
             ++i) {
            held.push_back(RawPeer::connectTo(fixture.port(), loopback(host)));
        }
    }
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == SenderServer::maximumPendingConnections; }));
    RawPeer overall = RawPeer::connectTo(fixture.port(), loopback(200));
    EXPECT_TRUE(refusedSilently(overall));

    fixture.deliver(testFrame(1, true));
    auto frame = watcher->nextOf<EncodedVideoFrame>();
    EXPECT_TRUE(frame) << "a viewer lost its picture to connections that never said hello";

    // Once the silent ones are timed out, the address is welcome again.
    fixture.timers->advance(SenderServer::helloTimeout);
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == 0; }));
    TestViewer later(fixture.port());
    EXPECT_TRUE(later.join(TestViewer::hello("later")));
}

TEST(SenderServerAdmission, OneAddressHoldsAtMostItsTotalOfViewersAndWaitingConnections) {
    ServerFixture fixture;
    // Viewers and connections still without hello count together, below the waiting cap of their own.
    const size_t waiting = SenderServer::maximumPendingPerAddress / 2;
    std::vector<std::unique_ptr<TestViewer>> viewers;
    while (viewers.size() + waiting < SenderServer::maximumConnectionsPerAddress) {
        viewers.push_back(fixture.joinedViewer("viewer-" + std::to_string(viewers.size())));
        ASSERT_TRUE(viewers.back());
    }
    std::vector<RawPeer> held;
    for (size_t i = 0; i < waiting; ++i) {
        held.push_back(RawPeer::connectTo(fixture.port()));
    }
    ASSERT_TRUE(waitUntil([&] { return fixture.pendingCount() == waiting; }));
    RawPeer oneTooMany = RawPeer::connectTo(fixture.port());
    EXPECT_TRUE(refusedSilently(oneTooMany));

    // Another address is not held to this one's total.
    held.push_back(RawPeer::connectTo(fixture.port(), loopback(2)));
    EXPECT_TRUE(waitUntil([&] { return fixture.pendingCount() == waiting + 1; }));
}

TEST(SenderServerAdmission, ViewerMessagesAboveTheCapEndTheConnectionAtTheHeader) {
    ServerFixture fixture;
    // Exactly at the cap is still a message: a restart request padded with JSON white space.
    auto patient = fixture.joinedViewer("patient");
    ASSERT_TRUE(patient);
    std::string json = "{}";
    json.resize(SenderServer::maximumViewerMessageLength, ' ');
    Bytes atCap = header(ControlMessage::TypeCode::restartSource, SenderServer::maximumViewerMessageLength);
    atCap.insert(atCap.end(), json.begin(), json.end());
    patient->sendRaw(atCap);
    EXPECT_TRUE(fixture.events.waitFor([](const std::string& event) { return event == "restart"; }));
    EXPECT_EQ(fixture.sessionCount(), 1u);

    // One byte more ends it at once, before any payload has come, and with no goodbye.
    patient->sendRaw(
        header(ControlMessage::TypeCode::keyframeRequest, SenderServer::maximumViewerMessageLength + 1));
    EXPECT_FALSE(patient->goodbyeReason());
    EXPECT_TRUE(waitUntil([&] { return fixture.sessionCount() == 0; }));

    // The same holds before the hello.
    RawPeer early = RawPeer::connectTo(fixture.port());
    early.sendAll(header(ControlMessage::TypeCode::hello, ControlMessage::maximumPayloadLength));
    EXPECT_TRUE(refusedSilently(early));
}

TEST(SenderServerAdmission, VersionsBeyondThirtyTwoBitsAreAMismatchNotAnUnreadableHello) {
    ServerFixture fixture;
    for (int64_t version : {int64_t{1} << 31, int64_t{1} << 40, -(int64_t{1} << 31) - 1}) {
        TestViewer viewer(fixture.port());
        HelloMessage hello = TestViewer::hello("big");
        hello.protocolVersion = version;
        viewer.send(hello);
        EXPECT_EQ(viewer.goodbyeReason(), "protocol version mismatch") << version;
    }
}

TEST(SenderServerAdmission, ViewerNamesAreBoundedAndCleanedBeforeTheyAreShown) {
    ServerFixture fixture;
    TestViewer viewer(fixture.port());
    HelloMessage hello = TestViewer::hello("forger");
    hello.clientName = "Anna\n[info] Sender gestoppt\x1b[2J" + std::string(200, 'x');
    hello.deviceModel = "Phone\u202Eevil";
    ASSERT_TRUE(viewer.join(hello));
    auto session = fixture.onlySession();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->hello.clientName, "Anna [info] Sender gestoppt\uFFFD[2J" + std::string(64 - 31, 'x'));
    EXPECT_EQ(session->hello.deviceModel, "Phone\uFFFDevil");
    EXPECT_EQ(fixture.onQueue([&] { return session->clientStatus().name; }), session->hello.clientName);
}
