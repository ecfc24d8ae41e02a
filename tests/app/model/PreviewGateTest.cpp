#include "app/model/PreviewSink.h"

#include <gtest/gtest.h>

using namespace kelvora;

namespace {
constexpr uint64_t ms = 1'000'000;
}

TEST(PreviewThrottle, LetsThroughPicturesAtLeastTheIntervalApart) {
    const struct {
        double interval;
        std::vector<uint64_t> times;
        std::vector<bool> admitted;
    } cases[] = {
        // The mark starts at 0, and capture times count from boot: the first picture always passes.
        {40, {5000 * ms}, {true}},
        {40, {100 * ms, 139 * ms, 178 * ms, 217 * ms}, {true, false, true, false}},
        {40, {100 * ms, 140 * ms, 180 * ms}, {true, true, true}},
        // A picture from before the mark is held back and leaves the mark alone.
        {10, {100 * ms, 90 * ms, 109 * ms, 110 * ms}, {true, false, false, true}},
    };
    for (const auto& c : cases) {
        PreviewThrottle throttle(c.interval);
        for (size_t i = 0; i < c.times.size(); ++i) {
            EXPECT_EQ(throttle.admit(c.times[i]), c.admitted[i]) << i;
        }
    }
}

TEST(PreviewGate, EachVisiblePreviewGetsItsOwnRate) {
    PreviewGate gate;
    gate.setMenuVisible(true);
    int main = 0;
    int menu = 0;
    for (uint64_t t = 1000 * ms; t < 1100 * ms; t += 5 * ms) {
        const auto due = gate.admit(t);
        main += due.main;
        menu += due.menu;
    }
    EXPECT_EQ(main, 10);
    EXPECT_EQ(menu, 4);
}

TEST(PreviewGate, HiddenPreviewsGetNothingAndKeepTheirMarks) {
    PreviewGate gate;
    gate.admit(500 * ms);
    gate.setMainVisible(false);
    for (uint64_t t = 600 * ms; t < 700 * ms; t += 5 * ms) {
        const auto due = gate.admit(t);
        EXPECT_FALSE(due.main || due.menu);
    }
    EXPECT_EQ(gate.lastMain(), 500 * ms);
    EXPECT_EQ(gate.lastMenu(), 0u);
}
