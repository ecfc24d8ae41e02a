#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "sender/pipeline/EncoderSpeedGovernor.h"

namespace kelvora {
namespace {

// Feeds whole windows of encode times, given as shares of a 16.7 ms frame interval, and collects the level
// after each window (or -1 where the level stayed).
std::vector<int> decisions(const std::vector<std::vector<double>>& windows) {
    const double interval = 1000.0 / 60;
    EncoderSpeedGovernor governor(interval);
    std::vector<int> result;
    for (const auto& shares : windows) {
        std::optional<int> changed;
        for (size_t i = 0; i < EncoderSpeedGovernor::windowSize; ++i) {
            const auto level = governor.note(shares[i % shares.size()] * interval);
            if (i + 1 < EncoderSpeedGovernor::windowSize) {
                EXPECT_FALSE(level) << "decided before the window was full";
            }
            changed = level;
        }
        result.push_back(changed.value_or(-1));
    }
    return result;
}

TEST(EncoderSpeedGovernor, StepsFasterWhenBehindAndBackOnlyAfterLastingRoom) {
    struct Case {
        const char* name;
        std::vector<std::vector<double>> windows;
        std::vector<int> expected;
    };
    const std::vector<Case> cases{
        {"behind: one step per window, never past the fastest", {{0.9}, {0.9}, {0.9}}, {1, 2, -1}},
        {"in time: stays", {{0.7}, {0.5}}, {-1, -1}},
        {"spikes in fewer than half the pictures do not count", {{3.0, 0.5, 0.5}, {0.5, 0.5, 3.0}}, {-1, -1}},
        {"room: back one step after three roomy windows", {{0.9}, {0.2}, {0.2}, {0.2}}, {1, -1, -1, 0}},
        {"a window without room starts the count again",
         {{0.9}, {0.2}, {0.2}, {0.5}, {0.2}, {0.2}, {0.2}},
         {1, -1, -1, -1, -1, -1, 0}},
        {"at the slowest level room changes nothing", {{0.1}, {0.1}, {0.1}, {0.1}}, {-1, -1, -1, -1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decisions(c.windows), c.expected) << c.name;
    }
}

TEST(EncoderSpeedGovernor, AResumedLevelIsOneThereIsAndStepsBackWithRoom) {
    const double interval = 1000.0 / 60;
    for (const auto& [start, level] : std::vector<std::pair<int, int>>{{-1, 0}, {1, 1}, {2, 2}, {7, 2}}) {
        EncoderSpeedGovernor governor(interval, start);
        EXPECT_EQ(governor.level(), level) << "started at " << start;
    }
    EncoderSpeedGovernor resumed(interval, 2);
    std::optional<int> changed;
    for (size_t i = 0; i < 3 * EncoderSpeedGovernor::windowSize; ++i) {
        changed = resumed.note(0.2 * interval);
    }
    EXPECT_EQ(changed, 1);
}

}  // namespace
}  // namespace kelvora
