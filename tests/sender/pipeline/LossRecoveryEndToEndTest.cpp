// A viewer that loses frames in the middle of a stream on loopback: the sender repairs the loss with a
// refresh from the frame the viewer acknowledged, or with a keyframe when long-term references are off.

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <mutex>

#include "PipelineTesting.h"
#include "core/MonotonicClock.h"
#include "receiver/session/ReceiverSession.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

// libx264 numbers reference frames modulo 16 with the few references it keeps here; the sender counts on past
// that wrap, so that a refresh whose skipped frame lies on it is decoded like any other.
constexpr uint64_t kFrameNumberPeriod = 16;

// The main tier alone (no proxy, no middle tier), H.264, no scheduled keyframe within the test's reach.
SenderSettings oneTierSettings(bool longTermReferences) {
    SenderSettings settings = testing::testSettings("Verlust " + std::to_string(getpid()));
    settings.preferredCodec = VideoCodec::h264;
    settings.resolution = {640, 360};
    settings.adaptiveBitrate = false;
    settings.proxyStream = false;
    settings.keyframeInterval = 600;
    // The encoder keeps its rate however slowly a busy machine lets this test hand over its pictures: a
    // sender that followed the slower source would reopen its encoder, with a keyframe of its own.
    settings.autoFrameRate = false;
    settings.frameRate = 30;
    settings.longTermReferences = longTermReferences;
    return settings;
}

// What the viewer's frame filter and picture output saw, shared with them: the session's threads may still
// run them once while it stops.
struct LossLog {
    std::mutex mutex;
    bool armed = false;
    int dropOffset = 0;  // drop `toDrop` frames in a row from this many frames after the chain's keyframe
    uint64_t keyframe = 0;
    int toDrop = 1;
    std::vector<uint64_t> dropped;
    int keyframesAfterLoss = 0;
    int refreshesAfterLoss = 0;
    int framesSinceRepair = 0;
    int pictures = 0;
    int picturesAtRepair = -1;

    bool admit(const EncodedVideoFrame& frame) {
        std::lock_guard lock(mutex);
        if (dropped.empty() && frame.isKeyframe()) {
            keyframe = frame.frameNumber;
        }
        const bool due = armed && keyframe != 0 && frame.frameNumber > keyframe &&
                         (frame.frameNumber - keyframe) % kFrameNumberPeriod == uint64_t(dropOffset);
        if (toDrop > 0 && (due || !dropped.empty())) {
            --toDrop;
            dropped.push_back(frame.frameNumber);
            return false;
        }
        if (!dropped.empty()) {
            keyframesAfterLoss += frame.isKeyframe() ? 1 : 0;
            refreshesAfterLoss += frame.isRefresh() ? 1 : 0;
            if (keyframesAfterLoss + refreshesAfterLoss > 0 && framesSinceRepair++ == 0) {
                picturesAtRepair = pictures;
            }
        }
        return true;
    }
    bool showedAfterRepair(int count) {
        std::lock_guard lock(mutex);
        return picturesAtRepair >= 0 && pictures - picturesAtRepair >= count;
    }
};

struct Outcome {
    int keyframes = 0;
    int refreshes = 0;
    int framesForThirtyPictures = 0;  // frames that passed from the repair on until 30 pictures were shown
    PlaybackStatistics statistics;
};

Outcome loseFramesMidStream(bool longTermReferences, int dropOffset, int dropCount) {
    Outcome outcome;
    auto sources = std::make_shared<testing::ScriptedSources>();
    SenderPipeline::Options options;
    options.announce = false;
    options.autoSourceRecovery = [] { return false; };
    options.sources = sources;
    auto statuses = std::make_shared<testing::Eventually<SenderStatus>>();
    auto pipeline = SenderPipeline::create(oneTierSettings(longTermReferences),
                                           "LOSS-E2E-" + std::to_string(getpid()), {}, options);
    pipeline->setStatusHandler([statuses](SenderStatus status) { statuses->push(status); });
    pipeline->start();
    auto source = sources->waitForSource(1);
    int delivered = 0;
    // Pictures at about 30 per second until `done` holds, for at most a minute.
    auto deliverUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 1800 && source; ++i) {
            if (done()) {
                return true;
            }
            source->deliver(testing::nv12Picture(640, 360, 120, delivered++), MonotonicClock::now());
            std::this_thread::sleep_for(33ms);
        }
        return done();
    };
    const auto listening = [](const SenderStatus& s) { return s.isLive() && s.controlPort.has_value(); };
    std::optional<SenderStatus> live;
    if (deliverUntil([&] { return statuses->waitFor(listening, 0ms).has_value(); })) {
        live = statuses->waitFor(listening);
    }
    EXPECT_TRUE(live);

    auto log = std::make_shared<LossLog>();
    log->dropOffset = dropOffset;
    log->toDrop = dropCount;
    std::shared_ptr<ReceiverSession> session;
    if (live) {
        session = ReceiverSession::create(EngineKind::tcp(),
                                          NetworkEndpoint::hostPort("127.0.0.1", *live->controlPort),
                                          ReceiverIdentity{"LOSS-E2E-VIEWER", "Verlust-Test", "Linux"});
        session->setSmoothingEnabled(false);
        session->setFrameFilter([log](const EncodedVideoFrame& frame) { return log->admit(frame); });
        session->frameOutput.set([log](PixelBuffer) {
            std::lock_guard lock(log->mutex);
            ++log->pictures;
        });
        session->start();
        // A second of pictures first, so that the viewer's acknowledgements have reached the encoder.
        EXPECT_TRUE(deliverUntil([&] {
            std::lock_guard lock(log->mutex);
            log->armed = log->pictures >= 30;
            return log->armed;
        }));
        EXPECT_TRUE(deliverUntil([&] { return log->showedAfterRepair(30); }));
        {
            std::lock_guard lock(log->mutex);
            outcome.framesForThirtyPictures = log->framesSinceRepair;
        }
        // The statistics are a snapshot taken a few times a second: wait for one that holds the loss.
        EXPECT_TRUE(deliverUntil([&] { return session->statistics().framesLost >= 1; }));
        outcome.statistics = session->statistics();
        session->stop();
        session->queue().sync([] {});
    }
    pipeline->setStatusHandler({});
    pipeline->stop();
    pipeline->queue().sync([] {});

    std::lock_guard lock(log->mutex);
    EXPECT_EQ(log->dropped.size(), size_t(dropCount));
    outcome.keyframes = log->keyframesAfterLoss;
    outcome.refreshes = log->refreshesAfterLoss;
    return outcome;
}

TEST(LossRecoveryEndToEnd, FramesLostMidStreamAreRepairedByARefreshWhereOneCanBeDecoded) {
    struct Case {
        const char* name;
        bool longTermReferences;
        int dropOffset;
        int dropCount;
        bool repairedByRefresh;
    };
    const Case cases[] = {
        {"long-term references", true, 8, 1, true},
        {"lost frame on libx264's frame-number wrap", true, 15, 1, true},
        // The refresh would have to reach back four frames, one more than the encoder keeps at 30 frames/s.
        {"two lost in a row", true, 8, 2, false},
        {"keyframes only", false, 8, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = loseFramesMidStream(c.longTermReferences, c.dropOffset, c.dropCount);
        EXPECT_EQ(outcome.refreshes > 0, c.repairedByRefresh);
        EXPECT_EQ(outcome.keyframes > 0, !c.repairedByRefresh);
        // The frames from the repair on are shown as they come (a few may still be in the decoder, and a
        // loaded machine's viewer may have let some go on purpose): the picture does not stand still after
        // the repair. A decoder that sorted the repaired chain wrongly showed nothing for some 28 frames.
        const PlaybackStatistics& s = outcome.statistics;
        const int letGo = s.framesDropped + s.framesLate + s.framesSkippedBySender;
        EXPECT_LE(outcome.framesForThirtyPictures - letGo, 34) << letGo << " let go";
        EXPECT_GE(outcome.statistics.framesLost, 1);
        EXPECT_EQ(outcome.statistics.decodeErrors, 0);
    }
}

}  // namespace
}  // namespace kelvora
