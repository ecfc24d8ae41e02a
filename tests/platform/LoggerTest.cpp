#include "platform/Logger.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <set>
#include <thread>
#include <vector>

using namespace kelvora;

TEST(PlatformLogger, NamesTheLoggerAfterThePrefixAndCategory) {
    EXPECT_EQ(platformLogger("network").name(), "app.kelvora.sender.network");
    EXPECT_EQ(spdlog::get("app.kelvora.sender.network").get(), &platformLogger("network"));
}

TEST(PlatformLogger, CreatesEachCategoryOnceUnderConcurrentFirstUse) {
    std::vector<spdlog::logger*> seen(16);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &platformLogger("concurrent-first-use"); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<spdlog::logger*> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u);
    EXPECT_NE(&platformLogger("other-category"), seen.front());
}

TEST(PlatformLogger, WritesToStandardErrorAndPassesInfoLines) {
    auto& logger = platformLogger("sink-check");
    ASSERT_FALSE(logger.sinks().empty());
    EXPECT_TRUE(logger.should_log(spdlog::level::info));

    auto ring = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4);
    ring->set_pattern("%n|%v");
    logger.sinks().push_back(ring);
    logger.info("frame {} of {}", 3, "tier 0");
    logger.sinks().pop_back();
    ASSERT_EQ(ring->last_formatted().size(), 1u);
    EXPECT_EQ(ring->last_formatted().front(), "app.kelvora.sender.sink-check|frame 3 of tier 0\n");
}
