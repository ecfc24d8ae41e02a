#include <gtest/gtest.h>

#include "sender/server/SenderServerCallbacks.h"
#include "sender/server/SinkCongestion.h"
#include "sender/server/StreamingEngineContext.h"

namespace kelvora {
namespace {

TEST(SinkCongestion, OrdersByLevelAndRejectsUnknownRawValues) {
    EXPECT_LT(SinkCongestion::none, SinkCongestion::moderate);
    EXPECT_LT(SinkCongestion::moderate, SinkCongestion::severe);
    EXPECT_EQ(sinkCongestion(2), SinkCongestion::severe);
    EXPECT_EQ(sinkCongestion(3), std::nullopt);
    EXPECT_EQ(sinkCongestion(-1), std::nullopt);
}

TEST(StreamingEngineContext, LooksSessionsUpOnItsQueue) {
    auto queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("test.context"));
    std::vector<std::string> asked;
    StreamingEngineContext context(queue, [&](const std::string& token) {
        asked.push_back(token);
        return std::shared_ptr<SenderSession>();
    });
    EXPECT_EQ(queue->sync([&] { return context.session("T1"); }), nullptr);
    EXPECT_EQ(asked, std::vector<std::string>{"T1"});
    EXPECT_EQ(&context.queue(), queue.get());
}

// A pipeline stand-in that records what the server asked of it.
class RecordingDelegate final : public SenderServerDelegate {
  public:
    void handleKeyframeRequest(uint8_t tier, KeyframeRequestMessage::Reason,
                               std::optional<FrameNumberRange> acknowledged) override {
        keyframeTiers.push_back(tier);
        lastRange = acknowledged;
    }
    void handleReferenceAck(SenderSession&, const ReferenceAckMessage&) override {}
    void handleSessionsChanged() override { sessionsChanged += 1; }
    void handleRemoteTuning(SenderSession&, const StreamTuning&) override {}
    StreamTuning currentTuning() override { return tuning; }
    void reconnectSource() override { restarts += 1; }
    bool startsOnProxy() override { return true; }
    RateLimits rateLimits() override { return {8000, 300, 12000}; }

    std::vector<uint8_t> keyframeTiers;
    std::optional<FrameNumberRange> lastRange;
    int sessionsChanged = 0;
    int restarts = 0;
    StreamTuning tuning;
};

TEST(SenderServerCallbacks, ReachThePipelineWhileItLivesAndFallBackAfterwards) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->tuning.proxyKbps = 1234;
    const SenderServerCallbacks callbacks = SenderServerCallbacks::weaklyBound(delegate);
    EXPECT_FALSE(callbacks.onReport);  // the pipeline does not listen to reports

    callbacks.onKeyframeRequest(1, KeyframeRequestMessage::Reason::frameLoss, FrameNumberRange{3, 9});
    callbacks.onSessionsChanged();
    callbacks.onRestartSource();
    EXPECT_EQ(delegate->keyframeTiers, std::vector<uint8_t>{1});
    EXPECT_EQ(delegate->lastRange, (FrameNumberRange{3, 9}));
    EXPECT_EQ(delegate->sessionsChanged, 1);
    EXPECT_EQ(delegate->restarts, 1);
    EXPECT_TRUE(callbacks.viewersStartOnProxy());
    EXPECT_EQ(callbacks.rateLimits(), (RateLimits{8000, 300, 12000}));
    ASSERT_TRUE(callbacks.currentTuning());
    EXPECT_EQ(callbacks.currentTuning()->proxyKbps, 1234);

    delegate.reset();
    callbacks.onSessionsChanged();
    EXPECT_FALSE(callbacks.viewersStartOnProxy());
    EXPECT_EQ(callbacks.rateLimits(), (RateLimits{20000, 2000, 40000}));
    EXPECT_EQ(callbacks.currentTuning(), std::nullopt);
}

TEST(SenderServerCallbacks, UnsetSlotsGiveTheServersDefaults) {
    const SenderServerCallbacks callbacks;
    EXPECT_FALSE(callbacks.viewersStartOnProxy());
    EXPECT_EQ(callbacks.rateLimits(), RateLimits::fallback());
    EXPECT_EQ(callbacks.currentTuning(), std::nullopt);
}

}  // namespace
}  // namespace kelvora
