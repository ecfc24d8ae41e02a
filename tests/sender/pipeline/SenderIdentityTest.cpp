#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Uuid.h"
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

// Two settings files are two senders; the same file, however it is started again, the same one.
TEST(SenderIdentity, EachSettingsFileGivesAnIdOfItsOwnThatTheNextStartWithItGivesAgain) {
    const std::string kept = "0A3C1B62-9E0F-4C55-8B52-36A4C2D1E7F0";
    const std::string first = senderIDForSettingsFile(kept, "/home/anna/kamera-1.json");
    const std::string second = senderIDForSettingsFile(kept, "/home/anna/kamera-2.json");
    EXPECT_TRUE(isUuidText(first));
    EXPECT_NE(first, second);
    EXPECT_NE(first, kept);
    EXPECT_EQ(senderIDForSettingsFile(kept, "/home/anna/kamera-1.json"), first);
    // Another computer's (another kept id's) sender with a file of the same path is another sender too.
    EXPECT_NE(senderIDForSettingsFile("5B0E8F1A-2C4D-4E6F-8A1B-3C5D7E9F0A2B", "/home/anna/kamera-1.json"),
              first);
}

}  // namespace
}  // namespace kelvora
