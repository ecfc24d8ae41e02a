#include "platform/ApplicationFolder.h"

#include <gtest/gtest.h>

#include "support/ScopedEnvironment.h"

using namespace kelvora;
using kelvora::testing::ScopedEnvironment;

TEST(ApplicationFolder, LivesUnderTheXdgDataHomeOrTheHomeFolder) {
    ScopedEnvironment dataHome("XDG_DATA_HOME", "/srv/data");
    ScopedEnvironment home("HOME", "/home/anna");
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/srv/data/Kelvora"));
    // A relative path is not a valid XDG location and is ignored.
    dataHome.set("relative/data");
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/home/anna/.local/share/Kelvora"));
    dataHome.set(std::nullopt);
    EXPECT_EQ(applicationFolder(), std::filesystem::path("/home/anna/.local/share/Kelvora"));
}
