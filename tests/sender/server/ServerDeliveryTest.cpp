#include <gtest/gtest.h>

#include <thread>

#include "ServerTesting.h"
#include "core/Log.h"
#include "sender/server/TCPMediaSink.h"
#include "support/LogCapture.h"

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;

TEST(TCPMediaSink, CongestionFollowsPendingFramesAndBytes) {
    EXPECT_EQ(TCPMediaSink::congestionFor(1'500'000, 1), SinkCongestion::none);
    EXPECT_EQ(TCPMediaSink::congestionFor(1'500'001, 0), SinkCongestion::severe);
    EXPECT_EQ(TCPMediaSink::congestionFor(100, 2), SinkCongestion::moderate);
    EXPECT_EQ(TCPMediaSink::congestionFor(100, 3), SinkCongestion::severe);
}

TEST(SenderServerDelivery, EveryViewerGetsTheSameBytesEncodedOnce) {
    auto engine = std::make_shared<RecordingEngine>(EngineKind::tcp(), true);
    ServerFixture fixture({engine});
    std::vector<std::unique_ptr<TestViewer>> viewers;
    for (int i = 0; i < 5; ++i) {
        viewers.push_back(fixture.joinedViewer("fan-" + std::to_string(i)));
        ASSERT_TRUE(viewers.back());
    }
    const EncodedVideoFrame frame = testFrame(1, true);
    fixture.deliver(frame);
    fixture.onQueue([&] {
        ASSERT_EQ(engine->sinks.size(), 5u);
        const SharedBytes& first = engine->sinks[0]->sent.at(0).message;
        EXPECT_EQ(*first, ControlMessage(frame).encoded());
        for (const auto& sink : engine->sinks) {
            ASSERT_EQ(sink->sent.size(), 1u);
            EXPECT_EQ(sink->sent[0].message.get(), first.get()) << "a viewer got bytes of its own";
        }
    });
}

TEST(SenderServerDelivery, FrameTooLargeToSendIsDroppedWithOneLogLine) {
    test::LogCapture log(Log::network());
    {
        auto engine = std::make_shared<RecordingEngine>(EngineKind::tcp(), true);
        ServerFixture fixture({engine});
        auto viewer = fixture.joinedViewer("big");
        ASSERT_TRUE(viewer);
        const EncodedVideoFrame huge = testFrame(1, true, ControlMessage::maximumPayloadLength + 1);
        fixture.deliver(huge);
        fixture.deliver(huge);
        fixture.deliver(testFrame(2, true));
        fixture.onQueue([&] { EXPECT_EQ(engine->sinks.at(0)->sent.size(), 1u); });
        fixture.timers->advance(6s);
        fixture.deliver(huge);
    }
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& line) { return line.find("nicht sendbar") != std::string::npos; }),
              2)
        << "one line for the first two, one more after the quiet interval";
}

TEST(SenderServerDelivery, StalledReaderResumesWithASkippedMarkedKeyframeAndNeverAPFrameAfterAGap) {
    ServerFixture fixture;
    auto viewer = fixture.joinedViewer("stalled", 4096);
    ASSERT_TRUE(viewer);

    // The viewer reads nothing while 12 MB of frames are offered; a keyframe every tenth frame.
    uint64_t number = 0;
    for (; number < 120; ++number) {
        fixture.deliver(testFrame(number + 1, number % 10 == 0, 100'000));
    }
    auto session = fixture.onlySession();
    ASSERT_TRUE(session);
    EXPECT_GT(fixture.onQueue([&] { return session->framesDroppedBySender; }), 0);

    std::vector<EncodedVideoFrame> received;
    std::thread reader([&] {
        while (auto message = viewer->next()) {
            if (const auto* frame = message->get<EncodedVideoFrame>()) {
                received.push_back(*frame);
                if (frame->frameNumber >= 121) {
                    return;
                }
            }
        }
    });
    // Once the backlog has drained, one more keyframe, the next in line, ends the stream.
    ASSERT_TRUE(waitUntil([&] {
        return fixture.onQueue([&] { return session->sink->congestion() == SinkCongestion::none; });
    }));
    fixture.timers->advance(1s);
    fixture.deliver(testFrame(121, true));
    reader.join();

    ASSERT_FALSE(received.empty());
    EXPECT_TRUE(received.front().isKeyframe());
    bool sawGap = false;
    for (size_t i = 1; i < received.size(); ++i) {
        const auto& frame = received[i];
        ASSERT_GT(frame.frameNumber, received[i - 1].frameNumber);
        if (frame.frameNumber != received[i - 1].frameNumber + 1) {
            sawGap = true;
            EXPECT_TRUE(frame.isKeyframe()) << "P-frame #" << frame.frameNumber << " after a gap";
            EXPECT_TRUE(frame.flags.contains(EncodedVideoFrame::Flags::senderSkipped))
                << "#" << frame.frameNumber << " not marked";
        }
    }
    EXPECT_TRUE(sawGap);
}

TEST(SenderServerDelivery, BrokenFramingEndsOnlyThatConnection) {
    ServerFixture fixture;
    auto steady = fixture.joinedViewer("steady");
    ASSERT_TRUE(steady);
    auto badType = fixture.joinedViewer("bad-type");
    ASSERT_TRUE(badType);
    auto overLong = fixture.joinedViewer("over-long");
    ASSERT_TRUE(overLong);
    TestViewer pendingBad(fixture.port());

    badType->sendRaw(Bytes{0xEE, 0, 0, 0, 1, 0});
    overLong->sendRaw(Bytes{0x21, 0x02, 0x00, 0x00, 0x01});
    pendingBad.sendRaw(Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(badType->closedByServer());
    EXPECT_TRUE(overLong->closedByServer());
    EXPECT_TRUE(pendingBad.closedByServer());
    ASSERT_TRUE(waitUntil([&] { return fixture.sessionCount() == 1 && fixture.pendingCount() == 0; }));

    steady->send(TimeSyncRequest{});
    EXPECT_TRUE(steady->nextOf<TimeSyncResponse>());
    auto late = fixture.joinedViewer("late");
    EXPECT_TRUE(late);
    EXPECT_EQ(fixture.sessionCount(), 2u);
}

TEST(SenderServerDelivery, StreamInfoGoesOutOnlyWhenItChangesAndTuningOnlyToThoseWhoSupportIt) {
    ServerFixture fixture;
    auto tuned = fixture.joinedViewer("tuned");
    ASSERT_TRUE(tuned);
    TestViewer plain(fixture.port());
    ASSERT_TRUE(plain.join(TestViewer::hello("plain", 4, false)));

    fixture.server->updateStreamInfo(testStreamInfo());
    StreamInfoMessage changed = testStreamInfo();
    changed.state = StreamInfoMessage::State::paused;
    fixture.server->updateStreamInfo(changed);
    StreamTuning tuning;
    tuning.maximumFrameRate = 25;
    fixture.onQueue([&] { fixture.server->broadcastTuning(tuning); });
    fixture.deliver(testFrame(1, true));

    for (TestViewer* viewer : {tuned.get(), &plain}) {
        auto first = viewer->next();
        ASSERT_TRUE(first && first->is<StreamInfoMessage>()) << "unchanged info was sent again";
        EXPECT_EQ(first->get<StreamInfoMessage>()->state, StreamInfoMessage::State::paused);
        auto second = viewer->next();
        ASSERT_TRUE(second);
        if (viewer == tuned.get()) {
            ASSERT_TRUE(second->is<StreamTuning>());
            EXPECT_EQ(second->get<StreamTuning>()->maximumFrameRate, 25);
            second = viewer->next();
            ASSERT_TRUE(second);
        }
        EXPECT_TRUE(second->is<EncodedVideoFrame>()) << typeCodeName(second->typeCode());
    }
}
