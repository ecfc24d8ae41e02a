#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "sender/pipeline/SenderIdentity.h"

namespace kelvora {
namespace {

// A restart is a new store over the same folder: it finds the id the first start made and stored.
TEST(SenderIdentity, TheIdOutlivesARestartAndAnUnusableStoredOneIsReplaced) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("sender-identity-" + std::to_string(getpid()));
    std::string first;
    {
        UserDefaults defaults("app.kelvora.sender.headless", folder);
        first = persistentSenderID(defaults);
    }
    UserDefaults restarted("app.kelvora.sender.headless", folder);
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(persistentSenderID(restarted), first);

    restarted.set(kSenderIDKey, "a b");
    const std::string replaced = persistentSenderID(restarted);
    EXPECT_EQ(replaced.size(), 36u);
    EXPECT_EQ(restarted.string(kSenderIDKey), replaced);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kelvora
