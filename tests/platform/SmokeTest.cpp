#include <gtest/gtest.h>

#include <regex>
#include <string>

// The version reaches the licences window and the headless sender's log: it must be the release number
// itself, not an empty or descriptive stand-in.
TEST(Build, VersionIsAReleaseNumber) {
    EXPECT_TRUE(std::regex_match(std::string(KELVORA_VERSION), std::regex(R"([0-9]+\.[0-9]+\.[0-9]+)")))
        << KELVORA_VERSION;
}
