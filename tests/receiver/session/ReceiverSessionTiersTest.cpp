#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "receiver/session/ReceiverSessionFixture.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;
using test::is;

constexpr uint64_t ms = 1'000'000;
constexpr VideoDimensions mainSize{320, 180};
constexpr VideoDimensions proxySize{160, 90};

// The main tier and the proxy of one sender side by side, each picture taken in by the session when it
// arrives on the session's clock; one decoder worker keeps the pictures in the order they arrived.
class ReceiverSessionTiersTest : public test::ReceiverSessionTest {
  protected:
    struct Picture {
        uint64_t arrival;  // after the start
        uint8_t tier;
        uint64_t capture;  // after the start
    };

    void SetUp() override {
        ReceiverSessionTest::SetUp();
        session->setDecoderWorker(worker);
        session->frameOutput.set([this](PixelBuffer picture) {
            std::lock_guard lock(mutex);
            shownWidths.push_back(picture.width());
        });
        connect();
        ASSERT_TRUE(waitForEvent(is<ReceiverSession::Connected>));
        start = scheduler->now();
    }

    // Plays the pictures in the order of their arrival.
    void play(std::vector<Picture> pictures) {
        std::stable_sort(pictures.begin(), pictures.end(),
                         [](const Picture& a, const Picture& b) { return a.arrival < b.arrival; });
        for (const Picture& picture : pictures) {
            scheduler->advance(std::chrono::nanoseconds(start + picture.arrival - scheduler->now()));
            auto& encoder = picture.tier == 0 ? main : proxy;
            sender.send(encoder.encode(start + picture.capture, !started[picture.tier]));
            started[picture.tier] = true;
            waitUntilRead();
            worker->sync([] {});
            session->queue().sync([] {});
        }
    }

    // The width of every picture shown so far, once the statistics have caught up.
    std::vector<int> shown() {
        scheduler->advance(250ms);
        session->queue().sync([] {});
        std::lock_guard lock(mutex);
        return shownWidths;
    }

    std::shared_ptr<SerialQueue> worker = std::make_shared<SerialQueue>(SerialQueue::labelFor("decoder"));
    test::TestEncoder main{mainSize, 0};
    test::TestEncoder proxy{proxySize, 2};
    bool started[3] = {false, false, false};
    uint64_t start = 0;
    std::mutex mutex;
    std::vector<int> shownWidths;
};

// A 60 fps main tier that reaches the viewer 50 ms after its 30 fps proxy: it takes over from the proxy,
// stalls for 200 ms (the proxy bridges), and comes back for good.
TEST_F(ReceiverSessionTiersTest, AMainTierLaggingTheProxyBy50MsEndsTheBridge) {
    std::vector<Picture> pictures;
    for (uint64_t k = 0; k < 120; ++k) {
        const uint64_t capture = k * 50 * ms / 3;
        if (k % 2 == 0) {
            pictures.push_back({capture + 10 * ms, 2, capture});
        }
        if (capture < 1000 * ms || capture >= 1200 * ms) {
            pictures.push_back({capture + 60 * ms, 0, capture});
        }
    }
    play(pictures);
    const auto widths = shown();
    const auto stats = session->statistics();
    EXPECT_EQ(stats.bridgeCount, 1);
    EXPECT_FALSE(stats.isBridging);
    // Once back, the main tier stays on screen: of the last 40 pictures (from 1.35 s) none is the proxy's.
    ASSERT_GE(widths.size(), 40u);
    EXPECT_EQ(std::count(widths.end() - 40, widths.end(), proxySize.width), 0);
    EXPECT_LT(stats.bridgedMs, 300);
}

class ReceiverSessionSlowTierTest : public ReceiverSessionTiersTest,
                                    public ::testing::WithParamInterface<uint64_t> {};

// A main tier below 24 fps takes over from the proxy as a faster one does, after half a second of its own
// pictures.
TEST_P(ReceiverSessionSlowTierTest, AMainTierBelow24FpsTakesOverFromTheProxy) {
    const uint64_t fps = GetParam();
    std::vector<Picture> pictures;
    for (uint64_t k = 0; k * 1000 / fps < 1500; ++k) {
        const uint64_t capture = k * 1000 * ms / fps;
        pictures.push_back({capture + 5 * ms, 2, capture});
        // Every other main picture comes 15 ms late: at 10 fps a gap of 115 ms is still a steady run.
        pictures.push_back({capture + (k % 2 == 0 ? 20 : 35) * ms, 0, capture});
    }
    play(pictures);
    const auto widths = shown();
    ASSERT_FALSE(widths.empty());
    EXPECT_EQ(widths.front(), proxySize.width);
    EXPECT_EQ(widths.back(), mainSize.width);
}

INSTANTIATE_TEST_SUITE_P(Rates, ReceiverSessionSlowTierTest, ::testing::Values(10, 15, 20));

}  // namespace
}  // namespace kelvora
