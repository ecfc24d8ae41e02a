#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "core/Log.h"
#include "core/PeerText.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/FakeSender.h"
#include "receiver/session/HeldQueue.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/ReceiverSessionFixture.h"
#include "receiver/session/TestStreams.h"
#include "receiver/session/TimecodeDisplay.h"
#include "receiver/session/TimecodeStream.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/ManualTimers.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;
using Reason = KeyframeRequestMessage::Reason;
using Event = ReceiverSession::Event;

using test::identity;
using test::is;
using test::ReceiverSessionTest;
using test::welcomeFor;

TEST_F(ReceiverSessionTest, SaysHelloExactlyAndAsksForOneKeyframeAfterTheFirstWelcomeOnly) {
    connect();
    auto messages = sender.messages();
    ASSERT_FALSE(messages.empty());
    HelloMessage expected;
    expected.clientID = identity.clientID;
    expected.clientName = identity.clientName;
    expected.protocolVersion = 4;
    expected.engine = EngineKind::tcp();
    expected.supportedCodecs = ReceiverSession::supportedCodecs();
    expected.deviceModel = identity.deviceModel;
    expected.supportsTuning = true;
    EXPECT_EQ(messages.front(), ControlMessage(expected));
    EXPECT_EQ(expected.supportedCodecs.front(), VideoCodec::h264);

    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    auto requests = sender.waitFor<KeyframeRequestMessage>();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (KeyframeRequestMessage{Reason::connect, std::nullopt}));
    auto stats = session->statistics();
    EXPECT_EQ(stats.senderName, "Studio");
    EXPECT_EQ(stats.engine, EngineKind::tcp());
    EXPECT_EQ(stats.sourceName, "Testbild");
    EXPECT_TRUE(stats.connectedSince);
    EXPECT_EQ(session->remote(), (HostPortEndpoint{"127.0.0.1", sender.endpoint().asHostPort()->port}));

    // A repeated welcome changes nothing: the stream info behind it proves it has been read.
    auto second = welcomeFor(EngineKind::tcp());
    second.senderName = "Anderer";
    sender.send(second);
    sender.send(StreamInfoMessage{
        StreamInfoMessage::State::paused, "Kamera", VideoCodec::h264, {320, 180}, 30, false});
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::StreamInfoChanged>));
    scheduler->advance(100ms);
    session->queue().sync([] {});
    EXPECT_EQ(sender.all<KeyframeRequestMessage>().size(), 1u);
    EXPECT_EQ(sender.waitFor<TimeSyncRequest>().size(), 1u);  // one set of timers, not two
    size_t connected = 0;
    for (const auto& event : events.values()) {
        connected += is<ReceiverSession::Connected>(event);
    }
    EXPECT_EQ(connected, 1u);
    EXPECT_EQ(session->statistics().senderName, "Studio");
    EXPECT_EQ(session->statistics().streamState, StreamInfoMessage::State::paused);
}

TEST_F(ReceiverSessionTest, TextsTheSenderChoseAreCleanedAndItsRepeatedWelcomesLoggedOncePerSecond) {
    test::LogCapture log(ViewerLog::player());
    session->start();
    ASSERT_EQ(sender.waitFor<HelloMessage>().size(), 1u);
    auto welcome = welcomeFor(EngineKind::tcp());
    welcome.senderName = "Regie\r\n[info] gefälscht\x1b[31m" + std::string(4000, 'x');
    welcome.senderID = std::string(200, 'A');
    welcome.stream.sourceName = "\u202Elive";
    sender.send(welcome);
    auto connected = waitForEvent(is<ReceiverSession::Connected>);
    ASSERT_TRUE(connected);
    const std::string cleanName = "Regie [info] gefälscht\uFFFD[31m" + std::string(64 - 27, 'x');
    EXPECT_EQ(std::get<ReceiverSession::Connected>(*connected).welcome.senderName, cleanName);
    EXPECT_EQ(std::get<ReceiverSession::Connected>(*connected).welcome.senderID,
              std::string(maximumPeerIDCharacters, 'A'));
    EXPECT_EQ(session->statistics().senderName, cleanName);
    EXPECT_EQ(session->statistics().sourceName, "\uFFFDlive");

    const auto repeat = [&](int count, const std::string& source, const std::string& shown) {
        for (int i = 0; i < count; ++i) {
            sender.send(welcome);
        }
        sender.send(StreamInfoMessage{
            StreamInfoMessage::State::live, source, VideoCodec::h264, {320, 180}, 30, false});
        ASSERT_TRUE(waitForEvent([&](const Event& event) {
            const auto* info = std::get_if<ReceiverSession::StreamInfoChanged>(&event);
            return info && info->info.sourceName == shown;
        }));
    };
    repeat(50, "a", "a");
    scheduler->advance(999ms);
    repeat(50, "b", "b");
    scheduler->advance(1ms);
    repeat(1, "c\x1b", "c\uFFFD");
    std::vector<std::string> repeated;
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find_first_of("\r\n\x1b"), std::string::npos) << line;
        if (line.starts_with("Weiteres Welcome")) {
            repeated.push_back(line);
        }
    }
    EXPECT_EQ(repeated,
              (std::vector<std::string>{
                  "Weiteres Welcome von " + cleanName + " ignoriert (1 seit der letzten Meldung)",
                  "Weiteres Welcome von " + cleanName + " ignoriert (100 seit der letzten Meldung)"}));
}

TEST_F(ReceiverSessionTest, AMuteSenderEndsTheSessionAfterSixSeconds) {
    session->start();
    ASSERT_EQ(sender.waitFor<HelloMessage>().size(), 1u);
    scheduler->advance(5999ms);
    session->queue().sync([] {});
    EXPECT_FALSE(events.waitFor(is<ReceiverSession::Ended>, 0ms));
    scheduler->advance(1ms);
    auto error = waitForEnd();
    ASSERT_TRUE(error);
    EXPECT_EQ(describeError(error), "Der Sender antwortet nicht.");
    EXPECT_TRUE(sender.waitForEndOfStream());
    EXPECT_TRUE(sender.all<GoodbyeMessage>().empty());
}

TEST_F(ReceiverSessionTest,
       APausedSenderThatAnswersTheTimeSyncStaysAndOneThatFallsSilentEndsAfterFiveSeconds) {
    sender.answerTimeSync = true;
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    const StreamInfoMessage paused{
        StreamInfoMessage::State::paused, "Testbild", VideoCodec::h264, {320, 180}, 60, false};
    sender.send(paused);
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::StreamInfoChanged>));
    // Twelve seconds of pause in which nothing comes but the answers to the requests (five in the first half
    // second, then one a second).
    for (size_t second = 1; second <= 12; ++second) {
        scheduler->advance(1s);
        ASSERT_EQ(sender.waitFor<TimeSyncRequest>(5 + second).size(), 5 + second);
        session->queue().sync([] {});
        session->queue().sync([] {});
    }
    EXPECT_FALSE(events.waitFor(is<ReceiverSession::Ended>, 0ms));

    // The program stops: no answer any more, while the connection stands. The stream info read here is the
    // last thing heard.
    sender.answerTimeSync = false;
    sender.send(paused);
    ASSERT_TRUE(events.waitUntil([](const std::vector<Event>& all) {
        return std::count_if(all.begin(), all.end(), is<ReceiverSession::StreamInfoChanged>) == 2;
    }));
    scheduler->advance(4999ms);
    session->queue().sync([] {});
    EXPECT_FALSE(events.waitFor(is<ReceiverSession::Ended>, 0ms));
    scheduler->advance(1ms);
    EXPECT_EQ(describeError(waitForEnd()), "Der Sender antwortet nicht.");
    EXPECT_TRUE(sender.waitForEndOfStream());
}

TEST_F(ReceiverSessionTest, AViewerThatStoodStillSevenSecondsReadsWhatWaitsBeforeBlamingTheSender) {
    sender.answerTimeSync = true;
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    scheduler->advance(1s);
    // The viewer's process is stopped while the sender goes on: what it sends waits unread in the socket,
    // and the timers come due all at once when the process runs again.
    session->queue().sync([&] {
        sender.send(StreamInfoMessage{
            StreamInfoMessage::State::live, "Testbild", VideoCodec::h264, {320, 180}, 60, false});
        scheduler->stall(7s);
    });
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::StreamInfoChanged>));
    scheduler->advance(1s);
    session->queue().sync([] {});
    EXPECT_FALSE(events.waitFor(is<ReceiverSession::Ended>, 0ms));
}

TEST_F(ReceiverSessionTest, AnEngineTheViewerLacksEndsTheSessionWithoutAKeyframeRequest) {
    connect(EngineKind::srt());
    auto error = waitForEnd();
    ASSERT_TRUE(error);
    EXPECT_EQ(describeError(error), "Engine „SRT“ ist in dieser App nicht verfügbar.");
    try {
        std::rethrow_exception(error);
    } catch (const ReceiverError& receiverError) {
        EXPECT_EQ(receiverError, ReceiverError::engineUnavailable(EngineKind::srt()));
    }
    EXPECT_TRUE(sender.waitForEndOfStream());
    EXPECT_TRUE(sender.all<KeyframeRequestMessage>().empty());
}

TEST_F(ReceiverSessionTest, StopSaysGoodbyeAndTellsTheOwnerNothing) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    session->stop();
    session->stop();
    EXPECT_TRUE(sender.waitForEndOfStream());
    EXPECT_EQ(sender.all<GoodbyeMessage>(), (std::vector<GoodbyeMessage>{{"receiver stopped"}}));
    session->queue().sync([] {});
    EXPECT_FALSE(events.waitFor(is<ReceiverSession::Ended>, 0ms));
    // Nothing is left to run once the session has ended.
    EXPECT_EQ(scheduler->pendingCount(), 0u);
}

TEST_F(ReceiverSessionTest, TheSenderEndingTheConnectionEndsTheSession) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    sender.send(GoodbyeMessage{"sender stopped"});
    EXPECT_EQ(describeError(waitForEnd()), "Der Sender hat die Verbindung beendet.");
}

TEST_F(ReceiverSessionTest, ViewerWishesReachOnlyASenderThatUnderstandsThem) {
    session->setPreferredQuality(StreamQuality::proxy);
    session->start();
    ASSERT_EQ(sender.waitFor<HelloMessage>().size(), 1u);
    session->requestKeyframe();  // needs no welcome
    EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>().at(0), (KeyframeRequestMessage{Reason::manual, {}}));
    auto welcome = welcomeFor(EngineKind::tcp(), 3);
    welcome.supportsTuning.reset();
    sender.send(welcome);
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    session->updateTuning(StreamTuning{});
    session->requestSourceRestart();
    session->setPreferredQuality(StreamQuality::full);
    session->requestKeyframe();
    EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>(3).size(), 3u);
    EXPECT_TRUE(sender.all<QualityPreferenceMessage>().empty());
    EXPECT_TRUE(sender.all<StreamTuningUpdate>().empty());
    EXPECT_TRUE(sender.all<RestartSourceMessage>().empty());
}

TEST_F(ReceiverSessionTest, AWishMadeBeforeTheWelcomeGoesOutWithItAndALaterOneAtOnce) {
    session->setPreferredQuality(StreamQuality::full);
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    EXPECT_EQ(sender.waitFor<QualityPreferenceMessage>(),
              std::vector<QualityPreferenceMessage>{{StreamQuality::full}});
    session->setPreferredQuality(StreamQuality::proxy);
    EXPECT_EQ(sender.waitFor<QualityPreferenceMessage>(2).back(),
              QualityPreferenceMessage{StreamQuality::proxy});
    session->updateTuning(StreamTuning{});
    session->requestSourceRestart();
    EXPECT_EQ(sender.waitFor<StreamTuningUpdate>().size(), 1u);
    EXPECT_EQ(sender.waitFor<RestartSourceMessage>().size(), 1u);
}

TEST_F(ReceiverSessionTest, PicturesAnEngineDecodedItselfAreShownAtOnceAndReadTheirTimecode) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    auto picture = PixelBuffer::make(PixelFormat::nv12, 640, 360);
    std::memset(picture.data(0), 16, static_cast<size_t>(picture.stride(0)) * 360);
    std::memset(picture.data(1), 128, static_cast<size_t>(picture.stride(1)) * 180);
    TestPatternTimecode::write(picture, scheduler->now() - 30'000'000);
    session->displayDecodedFrame(picture, std::nullopt, VideoCodec::hevc);
    EXPECT_EQ(presented.load(), 1);  // on the caller's thread, before the call returns
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::FirstFrame>));
    scheduler->advance(250ms);
    auto stats = session->statistics();
    EXPECT_EQ(stats.framesDecoded, 1);
    EXPECT_TRUE(stats.isTestPattern);
    EXPECT_EQ(stats.codec, VideoCodec::hevc);
    EXPECT_EQ(stats.dimensions, (VideoDimensions{640, 360}));
    EXPECT_TRUE(sender.all<TierReadyMessage>().empty());
}

TEST_F(ReceiverSessionTest, AFrameWithoutItsReferenceAsksForAKeyframeForItsTierUntilOneComes) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    test::TestEncoder encoder({320, 180}, 1);
    encoder.encode(scheduler->now(), true);  // the keyframe is lost on the way
    sender.send(encoder.encode(scheduler->now()));
    const auto lossRequest = [](const KeyframeRequestMessage& request) {
        return request == KeyframeRequestMessage{Reason::frameLoss, 1};
    };
    EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>(1, lossRequest).size(), 1u);
    // The orderer's poll repeats the request while no keyframe comes.
    scheduler->advance(155ms);
    EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>(2, lossRequest).size(), 2u);
    sendAndPresent(encoder, true);
    scheduler->advance(300ms);
    session->queue().sync([] {});
    EXPECT_EQ(sender.all<KeyframeRequestMessage>(lossRequest).size(), 2u);
    // From protocol 3 on the viewer acknowledges the chain it can decode from.
    auto acks = sender.waitFor<ReferenceAckMessage>();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0], (ReferenceAckMessage{1, 3, 3}));
    EXPECT_EQ(sender.waitFor<TierReadyMessage>(), (std::vector<TierReadyMessage>{{1, true}}));
}

// Over TCP a missing frame never comes later: the request goes out with the frame that shows the gap, no
// timer involved, and the chain before the gap is acknowledged first, for the sender's refresh to use.
TEST_F(ReceiverSessionTest, OverTcpAGapIsReportedAsItShowsWithTheChainAcknowledgedFirst) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    test::TestEncoder encoder({320, 180});
    sendAndPresent(encoder, true);
    sender.send(encoder.encode(scheduler->now()));
    encoder.encode(scheduler->now());  // lost on the way
    sender.send(encoder.encode(scheduler->now()));
    const auto lossRequest = [](const KeyframeRequestMessage& request) {
        return request.reason == Reason::frameLoss;
    };
    ASSERT_EQ(sender.waitFor<KeyframeRequestMessage>(1, lossRequest).size(), 1u);
    std::vector<ControlMessage> feedback;
    for (auto& message : sender.messages()) {
        const auto* request = message.get<KeyframeRequestMessage>();
        if (message.get<ReferenceAckMessage>() || (request && lossRequest(*request))) {
            feedback.push_back(std::move(message));
        }
    }
    EXPECT_EQ(feedback,
              (std::vector<ControlMessage>{ControlMessage(ReferenceAckMessage{0, 1, 2}),
                                           ControlMessage(KeyframeRequestMessage{Reason::frameLoss, 0})}));
}

TEST_F(ReceiverSessionTest, ADecoderThatFallsBehindDropsToTheNextKeyframeAndAsksForItOnce) {
    test::HeldQueue worker;
    session->setDecoderWorker(worker.queue);
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    test::TestEncoder encoder({320, 180});
    const size_t backlog = VideoDecoder::kMaximumBacklogFrames;
    const uint64_t start = scheduler->now() - 1'000'000'000;
    for (size_t i = 0; i < backlog + 20; ++i) {
        sender.send(encoder.encode(start + i * 1'000'000, i == 0));
    }
    // Behind the frames: once it is read, so are they.
    sender.send(StreamInfoMessage{
        StreamInfoMessage::State::live, "Testbild", VideoCodec::h264, {320, 180}, 60, false});
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::StreamInfoChanged>));
    const auto overflow = [](const KeyframeRequestMessage& request) {
        return request == KeyframeRequestMessage{Reason::decoderError, 0};
    };
    EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>(1, overflow).size(), 1u);

    // What the decoder took before the bound comes out in full; then the keyframe starts it again.
    worker.release();
    ASSERT_TRUE(presentations.waitFor([&](const int& count) { return count >= static_cast<int>(backlog); }));
    sendAndPresent(encoder, true);
    scheduler->advance(16ms);
    sendAndPresent(encoder);
    scheduler->advance(250ms);
    session->queue().sync([] {});
    EXPECT_EQ(presented.load(), static_cast<int>(backlog) + 2);
    EXPECT_EQ(
        sender.all<KeyframeRequestMessage>(),
        (std::vector<KeyframeRequestMessage>{{Reason::connect, std::nullopt}, {Reason::decoderError, 0}}));
    const auto stats = session->statistics();
    EXPECT_EQ(stats.framesDropped, 20);
    EXPECT_EQ(stats.keyframeRequests, 2);
    EXPECT_EQ(stats.decodeErrors, 0);
}

TEST_F(ReceiverSessionTest, ReportsEverySecondWithWhatArrivedSinceTheLastReport) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    test::TestEncoder encoder({320, 180});
    scheduler->advance(500ms);
    for (int i = 0; i < 5; ++i) {
        scheduler->advance(16ms);
        sendAndPresent(encoder, i == 0);
    }
    scheduler->advance(420ms);
    auto reports = sender.waitFor<ReceiverReportMessage>(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_GE(reports[0].intervalMs, 1000);
    EXPECT_EQ(reports[0].framesReceived, 5);
    EXPECT_EQ(reports[0].framesDecoded, 5);
    EXPECT_GT(reports[0].bytesReceived, 0);
    EXPECT_EQ(reports[0].latencyMedianMs, -1);  // no clock synchronisation yet

    scheduler->advance(1s);
    scheduler->advance(1s);
    reports = sender.waitFor<ReceiverReportMessage>(3);
    ASSERT_EQ(reports.size(), 3u);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].intervalMs, 1000);
        EXPECT_EQ(reports[i].framesReceived, 0);
        EXPECT_EQ(reports[i].bytesReceived, 0);
    }
    // Five requests 0.1 s apart, then one a second: 1, 2, 3, 4, 5, 10, 20 and 30 tenths.
    sender.waitFor<TimeSyncRequest>(8);
    EXPECT_EQ(sender.all<TimeSyncRequest>().size(), 8u);
    auto stats = session->statistics();
    EXPECT_EQ(stats.framesReceived, 5);
    EXPECT_EQ(stats.framesDecoded, 5);
    EXPECT_EQ(stats.keyframeRequests, 1);
    EXPECT_EQ(stats.dimensions, (VideoDimensions{320, 180}));
    EXPECT_EQ(renderer->counters().enqueued, 5u);
}

TEST_F(ReceiverSessionTest, StallsAt60FpsLimitTheSenderTo30AndFiveCalmSecondsLiftIt) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    test::TestEncoder encoder({320, 180});
    auto frames = [&](int count, std::chrono::nanoseconds step) {
        for (int i = 0; i < count; ++i) {
            scheduler->advance(step);
            sendAndPresent(encoder, presented.load() == 0);
        }
    };
    const auto at60 = std::chrono::nanoseconds(16'666'667);
    frames(59, at60);  // the first report: 60 frames/s, no reason
    EXPECT_TRUE(sender.all<FrameRateLimitMessage>().empty());
    frames(20, at60);
    scheduler->advance(200ms);  // a stall
    frames(36, at60);           // the second report sees it
    auto limits = sender.waitFor<FrameRateLimitMessage>(1);
    ASSERT_EQ(limits.size(), 1u);
    EXPECT_EQ(limits[0].maxFps, 30);
    EXPECT_EQ(session->statistics().requestedMaxFps, 30);

    const auto at30 = std::chrono::nanoseconds(33'333'333);
    frames(30 * 5, at30);
    EXPECT_EQ(sender.all<FrameRateLimitMessage>().size(), 1u);
    frames(30, at30);
    limits = sender.waitFor<FrameRateLimitMessage>(2);
    ASSERT_EQ(limits.size(), 2u);
    EXPECT_EQ(limits[1].maxFps, 0);
}

TEST_F(ReceiverSessionTest, AClockOffsetNoRealSenderGivesIsNoLatencyAndHoldsNoPictureBack) {
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    for (int i = 0; i < 3; ++i) {
        answerTimeSync(0, 2'000'000);
    }
    // Thirty pictures on the true clock give a playout target one millisecond above their latency.
    test::TestEncoder encoder({320, 180});
    for (int i = 0; i < 30; ++i) {
        scheduler->advance(16ms);
        sendAndPresent(encoder, i == 0);
    }
    scheduler->advance(1s);
    // A sender's answer moves the offset to -2^62 ns; its round trip is the shortest, so it is taken.
    answerTimeSync(INT64_MIN / 2, 1'000'000);
    for (int i = 0; i < 5; ++i) {
        scheduler->advance(16ms);
        sendAndPresent(encoder);  // at once: the clock stands still meanwhile
    }
    scheduler->advance(250ms);
    const auto stats = session->statistics();
    EXPECT_EQ(stats.latencyMs, 0.0);
    EXPECT_EQ(stats.latencyText(), "0 ms");
}

TEST_F(ReceiverSessionTest, AfterALatencySpikeThePlayoutTargetStillShowsEveryPictureInStep) {
    auto worker = std::make_shared<SerialQueue>(SerialQueue::labelFor("decoder"));
    session->setDecoderWorker(worker);
    testing::Eventually<uint64_t> arrived;
    session->setFrameFilter([&arrived](const EncodedVideoFrame& frame) {
        arrived.push(frame.frameNumber);
        return true;
    });
    std::vector<uint64_t> shownAt;  // written on the presentation queue, read while it is idle
    session->frameOutput.set([&](PixelBuffer) { shownAt.push_back(scheduler->now()); });
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    for (int i = 0; i < 3; ++i) {
        answerTimeSync(0, 2'000'000);
    }
    // 60 frames/s with 20 ms latency, 300 ms more for two seconds, then 20 ms again. The network keeps
    // their order: the frames the spike held up arrive together as it ends.
    test::TestEncoder encoder({320, 180});
    constexpr uint64_t interval = 16'666'667;
    constexpr int spikeFrom = 2 * 60, spikeTo = 4 * 60, frameCount = 7 * 60;
    const uint64_t start = scheduler->now();
    uint64_t arrival = 0;
    size_t shownBeforeEnd = 0;
    for (int i = 0; i < frameCount; ++i) {
        const uint64_t capture = start + static_cast<uint64_t>(i) * interval;
        const bool spike = i >= spikeFrom && i < spikeTo;
        arrival = std::max(arrival, capture + (spike ? 320'000'000u : 20'000'000u));
        scheduler->advance(std::chrono::nanoseconds(arrival - scheduler->now()));
        if (i == spikeTo) {
            shownBeforeEnd = shownAt.size();
        }
        sender.send(encoder.encode(capture, i == 0));
        ASSERT_TRUE(arrived.waitUntil([&](const auto& all) { return all.size() > static_cast<size_t>(i); }));
        // Decoded and handed to the display before the clock moves on.
        session->queue().sync([] {});
        worker->sync([] {});
        session->queue().sync([] {});
        session->presentationQueue().sync([] {});
    }
    // Every picture is shown but the last, which waits a millisecond for the target.
    EXPECT_EQ(shownAt.size(), static_cast<size_t>(frameCount - 1));
    uint64_t longestGap = 0;
    // From the last picture shown before the spike ended on.
    for (size_t i = shownBeforeEnd; i < shownAt.size(); ++i) {
        longestGap = std::max(longestGap, shownAt[i] - shownAt[i - 1]);
    }
    EXPECT_LE(longestGap, 2 * interval);
    // The last one waits out exactly the millisecond from its latency (20 ms) to the target (21 ms).
    scheduler->advance(900us);
    EXPECT_EQ(shownAt.size(), static_cast<size_t>(frameCount - 1));
    scheduler->advance(100us);
    EXPECT_EQ(shownAt.size(), static_cast<size_t>(frameCount));
}

TEST_F(ReceiverSessionTest, FramesHandedOverFromAnotherThreadWaitInABoundedInboxAndResumeAtAKeyframe) {
    std::vector<uint64_t> arrived;  // on the session queue
    session->setFrameFilter([&arrived](const EncodedVideoFrame& frame) {
        arrived.push_back(frame.frameNumber);
        return false;
    });
    connect();
    ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
    constexpr size_t kMiB = 1024 * 1024;
    struct Case {
        const char* name;
        size_t payloadBytes;
        size_t offered;
        size_t taken;
    };
    const Case cases[] = {
        {"small frames fill the count", 100, ReceiverSession::maximumInboxFrames + 5,
         ReceiverSession::maximumInboxFrames},
        {"large frames fill the bytes", 5 * kMiB, 10, ReceiverSession::maximumInboxBytes / (5 * kMiB)},
    };
    uint64_t number = 0;
    const auto frame = [&](bool keyframe, size_t bytes) {
        return EncodedVideoFrame::make(
            VideoCodec::h264, keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{}, 0,
            ++number, std::nullopt, 0, 0, {320, 180}, 2500, {}, Bytes(bytes, 0x41));
    };
    for (size_t round = 0; round < std::size(cases); ++round) {
        const Case& c = cases[round];
        SCOPED_TRACE(c.name);
        session->queue().sync([&] { arrived.clear(); });
        std::promise<void> held;
        session->queue().async([released = held.get_future().share()] { released.wait(); });
        const uint64_t first = number + 1;
        for (size_t i = 0; i < c.offered; ++i) {
            session->receive(frame(i == 0, c.payloadBytes), scheduler->now());
        }
        held.set_value();
        session->queue().sync([] {});
        // Once refused, the tier takes nothing but a keyframe.
        session->receive(frame(false, 100), scheduler->now());
        const uint64_t keyframe = number + 1;
        session->receive(frame(true, 100), scheduler->now());
        session->receive(frame(false, 100), scheduler->now());
        std::vector<uint64_t> expected;
        for (uint64_t n = first; n < first + c.taken; ++n) {
            expected.push_back(n);
        }
        expected.push_back(keyframe);
        expected.push_back(keyframe + 1);
        EXPECT_EQ(session->queue().sync([&] { return arrived; }), expected);
        const auto behind = [](const KeyframeRequestMessage& request) {
            return request == KeyframeRequestMessage{Reason::decoderError, 0};
        };
        EXPECT_EQ(sender.waitFor<KeyframeRequestMessage>(round + 1, behind).size(), round + 1);
    }
}

TEST(ReceiverSessionLatency, TheSynchronisedLatencyAgreesWithThePicturesTimecode) {
    test::FakeSender sender;
    sender.answerTimeSync = true;
    auto session = ReceiverSession::create(EngineKind::tcp(), sender.endpoint(), identity);
    testing::TimecodeDisplay display;
    // Smoothing would hold pictures back after the session measured them; here they show as decoded.
    session->setSmoothingEnabled(false);
    session->frameOutput.set([&](PixelBuffer picture) { display.present(picture); });
    session->start();
    ASSERT_EQ(sender.waitFor<HelloMessage>().size(), 1u);
    sender.send(welcomeFor(EngineKind::tcp()));
    // Three answered round trips synchronise the clock; every frame sent after them is measured.
    ASSERT_EQ(sender.waitFor<TimeSyncRequest>(3).size(), 3u);

    test::TimecodeStream stream;
    constexpr int frameCount = 40;
    for (int i = 0; i < frameCount; ++i) {
        sender.send(stream.next());
        ASSERT_TRUE(display.waitForPictures(i + 1, 10s));
    }
    // Reports count what arrived since the one before: add them up until every frame is in.
    ReceiverReportMessage total;
    ReceiverReportMessage last;
    for (size_t count = 1; count <= 30 && total.framesDecoded < frameCount; ++count) {
        auto reports = sender.waitFor<ReceiverReportMessage>(count);
        ASSERT_EQ(reports.size(), count);
        last = reports.back();
        total.framesReceived += last.framesReceived;
        total.framesDecoded += last.framesDecoded;
        total.decodeErrors += last.decodeErrors;
        total.framesLost += last.framesLost;
        total.framesDropped += last.framesDropped;
    }
    const bool testPattern = session->statistics().isTestPattern;
    release(session, sender);

    EXPECT_TRUE(testPattern);
    EXPECT_EQ(total.framesReceived, frameCount);
    EXPECT_EQ(total.framesDecoded, frameCount);
    EXPECT_EQ(total.decodeErrors, 0);
    EXPECT_EQ(total.framesLost, 0);
    EXPECT_EQ(total.framesDropped, 0);
    ASSERT_EQ(display.latencyCount(), static_cast<size_t>(frameCount));
    ASSERT_GE(last.latencyMedianMs, 0);
    // Both measure capture to display on one clock; the picture reaches the tap just after the session
    // accepted it, and the strip carries whole microseconds.
    EXPECT_NEAR(last.latencyMedianMs, *display.medianLatency(), 10.0);
}

}  // namespace
}  // namespace kelvora
