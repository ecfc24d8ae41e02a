#include "core/Log.h"

#include <gtest/gtest.h>

#include <set>

using namespace kelvora;

TEST(Log, GivesSixDistinctCategoryLoggersSharedWithPlatformCode) {
    EXPECT_EQ(Log::network().name(), "app.kelvora.sender.network");
    EXPECT_EQ(Log::capture().name(), "app.kelvora.sender.capture");
    EXPECT_EQ(Log::encoder().name(), "app.kelvora.sender.encoder");
    EXPECT_EQ(Log::decoder().name(), "app.kelvora.sender.decoder");
    EXPECT_EQ(Log::player().name(), "app.kelvora.sender.player");
    EXPECT_EQ(Log::bitrate().name(), "app.kelvora.sender.bitrate");
    std::set<spdlog::logger*> all{&Log::network(), &Log::capture(), &Log::encoder(),
                                  &Log::decoder(), &Log::player(),  &Log::bitrate()};
    EXPECT_EQ(all.size(), 6u);
    EXPECT_EQ(&Log::network(), &platformLogger("network"));
}
