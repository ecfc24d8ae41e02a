#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "core/MonotonicClock.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/TimecodeDisplay.h"
#include "receiver/session/TimecodeStream.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SenderServer.h"
#include "support/Eventually.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

ServiceAnnouncement announcement() {
    ServiceAnnouncement value;
    // An extra output's id, the sender's and the output's UUID.
    value.senderID = "0B5E7C2A-9D41-4F0E-8A63-2C7D9E1F4B58-7C1D2E3F-4A5B-4C6D-8E7F-901A2B3C4D5E";
    value.senderName = "Interop";
    value.protocolVersion = 4;
    value.engines = {EngineKind::tcp()};
    value.dimensions = {640, 360};
    value.frameRate = 30;
    value.state = StreamInfoMessage::State::live;
    return value;
}

StreamInfoMessage streamInfo() {
    StreamInfoMessage info;
    info.state = StreamInfoMessage::State::live;
    info.sourceName = "Testbild";
    info.dimensions = {640, 360};
    info.frameRate = 30;
    info.isTestPattern = true;
    return info;
}

// The viewer's side against the sender's own server on loopback: handshake, time sync, frames on the control
// connection, reports back, and the end when the sender stops.
TEST(ReceiverAgainstSenderServer, PlaysTestPatternFramesOnTheSynchronisedClockUntilTheSenderStops) {
    SenderServer::Options hidden;
    hidden.announce = false;
    auto server =
        SenderServer::create({std::make_shared<NativeTCPEngine>()}, announcement(), streamInfo(), 0, hidden);
    std::mutex reportMutex;
    std::condition_variable reportArrived;
    std::vector<ReceiverReportMessage> reports;
    auto waitForReports = [&](size_t count) {
        std::unique_lock lock(reportMutex);
        reportArrived.wait_for(lock, 10s, [&] { return reports.size() >= count; });
        return reports;
    };
    testing::Eventually<KeyframeRequestMessage::Reason> keyframeRequests;
    server->callbacks.onReport = [&](SenderSession&, const ReceiverReportMessage& report) {
        std::lock_guard lock(reportMutex);
        reports.push_back(report);
        reportArrived.notify_all();
    };
    server->callbacks.onKeyframeRequest = [&](uint8_t, KeyframeRequestMessage::Reason reason, auto) {
        keyframeRequests.push(reason);
    };
    server->start();
    const uint16_t port = server->queue()->sync([&] { return server->controlPort().value_or(0); });
    ASSERT_NE(port, 0);

    auto session = ReceiverSession::create(EngineKind::tcp(), NetworkEndpoint::hostPort("127.0.0.1", port),
                                           ReceiverIdentity{"INTEROP-VIEWER", "Interop", "Linux"});
    testing::Eventually<ReceiverSession::Event> events;
    testing::TimecodeDisplay display;
    session->setSmoothingEnabled(false);
    session->setEventHandler([&](const ReceiverSession::Event& event) { events.push(event); });
    session->frameOutput.set([&](PixelBuffer picture) { display.present(picture); });
    session->start();
    auto connected = events.waitFor(
        [](const auto& event) { return std::holds_alternative<ReceiverSession::Connected>(event); });
    ASSERT_TRUE(connected);
    EXPECT_EQ(std::get<ReceiverSession::Connected>(*connected).welcome.senderName, "Interop");
    EXPECT_EQ(std::get<ReceiverSession::Connected>(*connected).welcome.senderID, announcement().senderID);
    EXPECT_TRUE(keyframeRequests.waitFor(
        [](const auto& reason) { return reason == KeyframeRequestMessage::Reason::connect; }));
    // The first report comes a second after the welcome, when the clock is long in step.
    ASSERT_EQ(waitForReports(1).size(), 1u);

    test::TimecodeStream stream;
    constexpr int frameCount = 45;
    for (int i = 0; i < frameCount; ++i) {
        const EncodedVideoFrame frame = stream.next();
        server->queue()->sync([&] { server->deliver(frame); });
        ASSERT_TRUE(display.waitForPictures(i + 1, 10s)) << "frame " << i;
    }
    ReceiverReportMessage total;
    ReceiverReportMessage last;
    for (size_t count = 2; count <= 30 && total.framesDecoded < frameCount; ++count) {
        auto received = waitForReports(count);
        ASSERT_GE(received.size(), count);
        last = received[count - 1];
        total.framesReceived += last.framesReceived;
        total.framesDecoded += last.framesDecoded;
        total.framesLost += last.framesLost;
        total.framesDropped += last.framesDropped;
        total.decodeErrors += last.decodeErrors;
    }
    EXPECT_EQ(total.framesReceived, frameCount);
    EXPECT_EQ(total.framesDecoded, frameCount);
    EXPECT_EQ(total.framesLost, 0);
    EXPECT_EQ(total.framesDropped, 0);
    EXPECT_EQ(total.decodeErrors, 0);
    {
        ASSERT_EQ(display.latencyCount(), static_cast<size_t>(frameCount));
        ASSERT_GE(last.latencyMedianMs, 0);
        EXPECT_NEAR(last.latencyMedianMs, *display.medianLatency(), 10.0);
    }
    EXPECT_GE(last.rttMs, 0);

    server->stop();
    auto ended = events.waitFor(
        [](const auto& event) { return std::holds_alternative<ReceiverSession::Ended>(event); });
    ASSERT_TRUE(ended);
    EXPECT_EQ(describeError(std::get<ReceiverSession::Ended>(*ended).error),
              "Der Sender hat die Verbindung beendet.");
    // Both sides' connections are over once each has seen the other's end; the queues then stop here.
    auto serverQueue = server->queue();
    serverQueue->sync([&] { server.reset(); });
    session->queue().sync([] {});
    session.reset();
    serverQueue->sync([] {});
    serverQueue->sync([] {});
}

}  // namespace
}  // namespace kelvora
