#include <gtest/gtest.h>

#include <string>

TEST(Build, VersionIsDefined) {
    EXPECT_FALSE(std::string(KELVORA_VERSION).empty());
}
