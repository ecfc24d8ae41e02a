#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "receiver/session/FakeSender.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/TestStreams.h"
#include "support/Eventually.h"
#include "support/ManualTimers.h"

namespace kelvora::test {

using namespace std::chrono_literals;
using Event = ReceiverSession::Event;

inline const ReceiverIdentity identity{"C0FFEE00-1111-2222-3333-444455556666", "Testgerät", "Linux PC"};

inline WelcomeMessage welcomeFor(EngineKind engine, int protocolVersion = 4) {
    WelcomeMessage welcome;
    welcome.senderName = "Studio";
    welcome.protocolVersion = protocolVersion;
    welcome.sessionToken = "token-1";
    welcome.engine = std::move(engine);
    welcome.stream.state = StreamInfoMessage::State::live;
    welcome.stream.sourceName = "Testbild";
    welcome.stream.dimensions = {320, 180};
    welcome.stream.frameRate = 60;
    welcome.supportsTuning = true;
    return welcome;
}

// Ends a session and lets it go once its connection is over, so that its queues stop on this thread rather
// than on their own while the test program exits.
inline void release(std::shared_ptr<ReceiverSession>& session, test::FakeSender& sender) {
    if (!session) {
        return;
    }
    session->stop();
    sender.waitForEndOfStream();
    // The sender closed right after the viewer's end; let the session queue take that in.
    session->queue().sync([] {});
    session->queue().sync([] {});
    session.reset();
}

template <typename T>
bool is(const Event& event) {
    return std::holds_alternative<T>(event);
}

// One session against one fake sender, with a clock that moves only when the test advances it.
class ReceiverSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session =
            ReceiverSession::create(EngineKind::tcp(), sender.endpoint(), identity, renderer, scheduler);
        session->setEventHandler([this](const Event& event) { events.push(event); });
        session->frameOutput.set([this](PixelBuffer) { presentations.push(++presented); });
    }

    void TearDown() override { release(session, sender); }

    // Starts the session and answers its hello with a welcome naming `engine`.
    void connect(EngineKind engine = EngineKind::tcp(), int protocolVersion = 4) {
        session->start();
        ASSERT_EQ(sender.waitFor<HelloMessage>().size(), 1u);
        sender.send(welcomeFor(std::move(engine), protocolVersion));
    }

    std::optional<Event> waitForEvent(const std::function<bool(const Event&)>& condition) {
        return events.waitFor(condition);
    }

    std::exception_ptr waitForEnd() {
        auto ended = waitForEvent(is<ReceiverSession::Ended>);
        return ended ? std::get<ReceiverSession::Ended>(*ended).error : nullptr;
    }

    // Sends one frame and waits until its picture has been presented.
    void sendAndPresent(test::TestEncoder& encoder, bool keyframe = false) {
        const int before = presented.load();
        sender.send(encoder.encode(scheduler->now(), keyframe));
        ASSERT_TRUE(presentations.waitFor([&](const int& count) { return count > before; }))
            << "picture not presented";
    }

    // A time-sync answer with the sender's clock `offsetNs` ahead over a round trip of `rttNs`.
    void answerTimeSync(int64_t offsetNs, uint64_t rttNs) {
        TimeSyncResponse answer;
        answer.clientSendTime = scheduler->now() - rttNs;
        answer.serverReceiveTime = answer.clientSendTime + rttNs / 2 + static_cast<uint64_t>(offsetNs);
        answer.serverSendTime = answer.serverReceiveTime;
        sender.send(answer);
        waitUntilRead();
    }

    // Waits until the session has read everything sent so far, before the clock moves on: the stream info
    // sent behind it tells when.
    void waitUntilRead() {
        sender.send(StreamInfoMessage{
            StreamInfoMessage::State::live, "Testbild", VideoCodec::h264, {320, 180}, 60, false});
        ++streamInfos;
        ASSERT_TRUE(events.waitUntil([&](const std::vector<Event>& all) {
            return static_cast<size_t>(std::count_if(all.begin(), all.end(),
                                                     is<ReceiverSession::StreamInfoChanged>)) >= streamInfos;
        }));
    }

    test::FakeSender sender;
    std::shared_ptr<testing::ManualTimers> scheduler = std::make_shared<testing::ManualTimers>();
    std::shared_ptr<VideoRenderer> renderer = std::make_shared<VideoRenderer>();
    std::shared_ptr<ReceiverSession> session;
    testing::Eventually<Event> events;
    testing::Eventually<int> presentations;
    std::atomic<int> presented{0};  // pictures the frame tap got
    size_t streamInfos = 0;
};

}  // namespace kelvora::test
