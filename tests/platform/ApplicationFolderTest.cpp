#include "platform/ApplicationFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kelvora;

TEST(ApplicationFolder, LivesUnderTheXdgDataHomeOrTheHomeFolder) {
    setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/srv/data/Kelvora"));
    // A relative path is not a valid XDG location and is ignored.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    setenv("HOME", "/home/anna", 1);
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/home/anna/.local/share/Kelvora"));
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/home/anna/.local/share/Kelvora"));
}
