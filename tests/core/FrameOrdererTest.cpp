#include "core/FrameOrderer.h"

#include <gtest/gtest.h>

using namespace kelvora;
using Flags = EncodedVideoFrame::Flags;
using Action = FrameOrderer::Action;

namespace {

constexpr uint64_t ms(double value) {
    return static_cast<uint64_t>(value * 1'000'000);
}

// Arrival times start well away from 0, which the orderer reads as "never".
constexpr uint64_t kStart = ms(10'000);

EncodedVideoFrame frame(uint64_t number, std::optional<uint64_t> reference = std::nullopt, Flags flags = {},
                        uint8_t tier = 0, uint64_t captureTime = 0) {
    return EncodedVideoFrame::make(VideoCodec::h264, flags, tier, number, reference, captureTime, captureTime,
                                   {1280, 720}, 4000, {}, Bytes{static_cast<uint8_t>(number)});
}

EncodedVideoFrame keyframe(uint64_t number, Flags extra = {}, uint8_t tier = 0, uint64_t captureTime = 0) {
    return frame(number, std::nullopt, Flags{Flags::keyframe, extra}, tier, captureTime);
}

std::vector<uint64_t> delivered(const std::vector<Action>& actions) {
    std::vector<uint64_t> numbers;
    for (const auto& action : actions) {
        if (action.isDelivery()) {
            numbers.push_back(action.frame().frameNumber);
        }
    }
    return numbers;
}

const Action kRequest = Action::requestKeyframe(FrameOrderer::Reason::frameLoss);

}  // namespace

TEST(FrameOrderer, WithoutKeyframeDropsAndRequestsInA150MsRhythm) {
    FrameOrderer orderer(40);
    EXPECT_EQ(orderer.ingest(frame(5), kStart), std::vector<Action>{kRequest});
    EXPECT_EQ(orderer.counters().dropped, 1);
    EXPECT_TRUE(orderer.ingest(frame(6), kStart + ms(100)).empty());
    EXPECT_EQ(orderer.counters().dropped, 2);
    EXPECT_TRUE(orderer.poll(kStart + ms(150), false).empty());
    EXPECT_EQ(orderer.ingest(frame(7), kStart + ms(151)), std::vector<Action>{kRequest});
    // The timer repeats the request while the keyframe stays away.
    EXPECT_TRUE(orderer.poll(kStart + ms(300), false).empty());
    EXPECT_EQ(orderer.poll(kStart + ms(302), false), std::vector<Action>{kRequest});
    EXPECT_TRUE(orderer.waitingForKeyframe());
    EXPECT_FALSE(orderer.referenceRange());
}

TEST(FrameOrderer, HeldFrameIsDeliveredOnceItsPredecessorArrives) {
    FrameOrderer orderer(40);
    EXPECT_EQ(delivered(orderer.ingest(keyframe(10), kStart)), (std::vector<uint64_t>{10}));
    EXPECT_TRUE(orderer.ingest(frame(12, 11), kStart + ms(1)).empty());
    EXPECT_EQ(orderer.heldCount(), 1u);
    EXPECT_EQ(delivered(orderer.ingest(frame(11, 10), kStart + ms(2))), (std::vector<uint64_t>{11, 12}));
    EXPECT_EQ(orderer.counters(), FrameOrderer::Counters{});
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{10, 12}));
}

TEST(FrameOrderer, FramesTheChainDoesNotNeedCountAsSkippedBySender) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    // 11 was disposable and never sent: 12 refers to 10.
    EXPECT_EQ(delivered(orderer.ingest(frame(12, 10), kStart + ms(33))), (std::vector<uint64_t>{12}));
    EXPECT_EQ(orderer.counters().skippedBySender, 1);
    EXPECT_EQ(orderer.counters().lost, 0);
}

TEST(FrameOrderer, FrameAfterALaterOneIsLate) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    EXPECT_TRUE(orderer.ingest(frame(9, 8), kStart + ms(1)).empty());
    EXPECT_EQ(orderer.counters().late, 1);
}

TEST(FrameOrderer, GapBeforeAKeyframeIsOneLossOrSkippedFrames) {
    FrameOrderer lossy(40);
    lossy.ingest(keyframe(10), kStart);
    EXPECT_EQ(delivered(lossy.ingest(keyframe(14), kStart + ms(130))), (std::vector<uint64_t>{14}));
    EXPECT_EQ(lossy.counters().lost, 1);
    EXPECT_EQ(lossy.counters().skippedBySender, 0);

    FrameOrderer thinned(40);
    thinned.ingest(keyframe(10), kStart);
    thinned.ingest(keyframe(14, Flags::senderSkipped), kStart + ms(130));
    EXPECT_EQ(thinned.counters().lost, 0);
    EXPECT_EQ(thinned.counters().skippedBySender, 3);
}

TEST(FrameOrderer, HeldFramesInsideTheGapAreNotMissing) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(12, 11), kStart + ms(1));
    orderer.ingest(frame(13, 12), kStart + ms(2));
    // Only 11 is missing; the held frames below the keyframe go without being counted.
    orderer.ingest(keyframe(14, Flags::senderSkipped), kStart + ms(3));
    EXPECT_EQ(orderer.counters().skippedBySender, 1);
    EXPECT_EQ(orderer.counters().late, 0);
    EXPECT_EQ(orderer.heldCount(), 0u);
}

TEST(FrameOrderer, GapIsGivenUpAfterTheWaitLimitOrTheTransferLimit) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(12, 11), kStart + ms(10));
    EXPECT_TRUE(orderer.poll(kStart + ms(50), false).empty());  // exactly 40 ms: still waiting
    EXPECT_TRUE(orderer.poll(kStart + ms(51), true).empty());   // the transfer limit allows 400 ms
    EXPECT_TRUE(orderer.poll(kStart + ms(410), true).empty());
    EXPECT_EQ(orderer.poll(kStart + ms(410.001), true), std::vector<Action>{kRequest});
    EXPECT_EQ(orderer.counters().lost, 1);
    EXPECT_EQ(orderer.counters().dropped, 1);
    EXPECT_TRUE(orderer.waitingForKeyframe());

    FrameOrderer quick(40);
    quick.ingest(keyframe(10), kStart);
    quick.ingest(frame(12, 11), kStart);
    EXPECT_EQ(quick.poll(kStart + ms(41), false), std::vector<Action>{kRequest});
    // Keyframe requests then keep the 150 ms rhythm from the give-up on.
    EXPECT_TRUE(quick.poll(kStart + ms(150), false).empty());
    EXPECT_EQ(quick.poll(kStart + ms(192), false), std::vector<Action>{kRequest});
}

TEST(FrameOrderer, InOrderMediaGivesTheGapUpOnTheFrameThatShowsIt) {
    FrameOrderer orderer(40);
    orderer.setInOrderDelivery(true);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(11, 10), kStart + ms(33));
    EXPECT_EQ(orderer.ingest(frame(13, 12), kStart + ms(100)), std::vector<Action>{kRequest});
    EXPECT_EQ(orderer.counters().lost, 1);
    // The frame before the gap stays acknowledged, so the sender's refresh to it resumes the chain.
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{10, 11}));
    EXPECT_EQ(delivered(orderer.ingest(frame(14, 11, Flags::refresh), kStart + ms(133))),
              (std::vector<uint64_t>{14}));
}

TEST(FrameOrderer, SixtyFirstHeldFrameGivesUpAtOnce) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(1), kStart);
    for (uint64_t number = 3; number < 63; ++number) {
        EXPECT_TRUE(orderer.ingest(frame(number, number - 1), kStart + ms(1)).empty());
    }
    EXPECT_EQ(orderer.heldCount(), 60u);
    EXPECT_EQ(orderer.ingest(frame(63, 62), kStart + ms(2)), std::vector<Action>{kRequest});
    EXPECT_EQ(orderer.counters().lost, 1);
    EXPECT_EQ(orderer.counters().dropped, 61);
    EXPECT_EQ(orderer.heldCount(), 0u);
}

TEST(FrameOrderer, RefreshFrameResumesTheChainAfterAGivenUpGap) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(11, 10), kStart + ms(1));
    orderer.ingest(frame(13, 12), kStart + ms(2));
    orderer.ingest(frame(14, 13), kStart + ms(3));
    ASSERT_EQ(orderer.poll(kStart + ms(50), false), std::vector<Action>{kRequest});
    ASSERT_TRUE(orderer.waitingForKeyframe());

    // The sender answers with a refresh against the acknowledged frame 11; 16 follows it, 15 was held.
    EXPECT_TRUE(orderer.ingest(frame(16, 15), kStart + ms(60)).empty());
    EXPECT_EQ(orderer.counters().dropped, 3);  // 13 and 14 at the give-up, 16 now
    orderer.ingest(frame(17, 16), kStart + ms(61));
    EXPECT_EQ(delivered(orderer.ingest(frame(15, 11, Flags::refresh), kStart + ms(62))),
              (std::vector<uint64_t>{15}));
    EXPECT_FALSE(orderer.waitingForKeyframe());
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{15, 15}));
    EXPECT_EQ(orderer.counters().skippedBySender, 3);  // 12, 13, 14 between 11 and 15
    EXPECT_EQ(delivered(orderer.ingest(frame(16, 15), kStart + ms(63))), (std::vector<uint64_t>{16}));

    // A refresh against something outside the chain does not resume it.
    FrameOrderer stale(40);
    stale.ingest(keyframe(10), kStart);
    stale.ingest(frame(12, 11), kStart);
    stale.poll(kStart + ms(50), false);
    EXPECT_TRUE(stale.ingest(frame(13, 9, Flags::refresh), kStart + ms(60)).empty());
    EXPECT_TRUE(stale.waitingForKeyframe());
}

TEST(FrameOrderer, DisposableFramesDoNotBecomeTheReference) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(11, 10, Flags::disposable), kStart + ms(1));
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{10, 10}));
    EXPECT_EQ(delivered(orderer.ingest(frame(12, 10), kStart + ms(2))), (std::vector<uint64_t>{12}));
    // A disposable refresh frame points the reference back at what it was encoded against.
    orderer.ingest(frame(13, 12), kStart + ms(3));
    EXPECT_EQ(
        delivered(orderer.ingest(frame(14, 12, Flags{Flags::refresh, Flags::disposable}), kStart + ms(4))),
        (std::vector<uint64_t>{14}));
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{10, 12}));
}

TEST(FrameOrderer, AnotherTierRestartsInWaitingModeKeepingCounters) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(10), kStart);
    orderer.ingest(frame(9, 8), kStart);
    EXPECT_EQ(orderer.counters().late, 1);
    EXPECT_EQ(orderer.ingest(frame(500, 499, {}, 1), kStart + ms(1)), std::vector<Action>{kRequest});
    EXPECT_TRUE(orderer.waitingForKeyframe());
    EXPECT_EQ(orderer.counters().late, 1);
    EXPECT_EQ(orderer.counters().dropped, 1);
    // Numbers of the new tier are its own: 5 is not late against tier 0's 10.
    EXPECT_EQ(delivered(orderer.ingest(keyframe(5, {}, 1), kStart + ms(2))), (std::vector<uint64_t>{5}));

    orderer.reset();
    EXPECT_TRUE(orderer.waitingForKeyframe());
    EXPECT_FALSE(orderer.referenceRange());
    EXPECT_EQ(orderer.counters().dropped, 1);
}

TEST(FrameOrderer, SenderRestartingItsNumberingStartsANewChain) {
    // A re-created encoder numbers from 1 again; its keyframe must not be late for ever.
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(1, {}, 0, ms(1000)), kStart);
    for (uint64_t number = 2; number <= 300; ++number) {
        orderer.ingest(frame(number, number - 1, {}, 0, ms(1000) + number), kStart + ms(1));
    }
    orderer.ingest(frame(302, 301, {}, 0, ms(1001)), kStart + ms(2));  // held behind a missing 301
    EXPECT_EQ(delivered(orderer.ingest(keyframe(1, {}, 0, ms(2000)), kStart + ms(3))),
              (std::vector<uint64_t>{1}));
    EXPECT_EQ(orderer.counters().dropped, 1);
    EXPECT_EQ(orderer.counters().late, 0);
    EXPECT_EQ(delivered(orderer.ingest(frame(2, 1, {}, 0, ms(2033)), kStart + ms(4))),
              (std::vector<uint64_t>{2}));
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{1, 2}));
    // Without capture times the restart is recognised all the same.
    FrameOrderer untimed(40);
    untimed.ingest(keyframe(40), kStart);
    untimed.ingest(frame(41, 40), kStart);
    EXPECT_EQ(delivered(untimed.ingest(keyframe(1), kStart + ms(1))), (std::vector<uint64_t>{1}));
}

TEST(FrameOrderer, KeyframeOvertakenOnTheNetworkStaysLate) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(20, {}, 0, ms(5000)), kStart);
    orderer.ingest(frame(21, 20, {}, 0, ms(5033)), kStart);
    // Keyframe 15 was captured before 20: it is old, not a restart.
    EXPECT_TRUE(orderer.ingest(keyframe(15, {}, 0, ms(4833)), kStart + ms(1)).empty());
    EXPECT_EQ(orderer.counters().late, 1);
    EXPECT_EQ(orderer.referenceRange(), (std::pair<uint64_t, uint64_t>{20, 21}));
    // A keyframe between the chain start and the last delivered frame is late too.
    orderer.ingest(frame(22, 21, {}, 0, ms(5066)), kStart + ms(2));
    EXPECT_TRUE(orderer.ingest(keyframe(21, {}, 0, ms(5100)), kStart + ms(3)).empty());
    EXPECT_EQ(orderer.counters().late, 2);
}

TEST(FrameOrderer, NonsenseFrameNumbersDoNotWrapTheCounters) {
    FrameOrderer orderer(40);
    orderer.ingest(keyframe(1), kStart);
    orderer.ingest(frame(UINT64_MAX, 1), kStart);
    EXPECT_EQ(orderer.counters().skippedBySender, INT64_MAX);
    orderer.ingest(frame(3, 2), kStart);
    EXPECT_GE(orderer.counters().skippedBySender, 0);
}
