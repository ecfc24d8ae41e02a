#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <vector>

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

// Senders started at once on a computer where none ran before (services at boot) find no id, and each would
// make one: all of them take the one that the first stored, which is the one every restart finds, and the
// other keys of the file stay.
TEST(SenderIdentity, SendersStartedAtOnceAllTakeTheIdTheFirstOfThemStored) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("sender-identity-race-" + std::to_string(getpid()));
    UserDefaults("app.kelvora.sender.headless", folder).set("Other", 1);
    constexpr int kSenders = 8;
    int release[2];
    int answers[2];
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(answers), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kSenders; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(release[1]);
            UserDefaults defaults("app.kelvora.sender.headless", folder);
            char byte = 0;
            // Every sender leaves this read at the same moment, when the test closes the other end.
            [[maybe_unused]] ssize_t ignored = read(release[0], &byte, 1);
            const std::string id = persistentSenderID(defaults) + "\n";
            ignored = write(answers[1], id.data(), id.size());
            _exit(0);
        }
        children.push_back(child);
    }
    close(release[0]);
    close(release[1]);
    close(answers[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(answers[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, size_t(n));
    }
    close(answers[0]);
    for (pid_t child : children) {
        waitpid(child, nullptr, 0);
    }

    UserDefaults restarted("app.kelvora.sender.headless", folder);
    const auto kept = restarted.string(kSenderIDKey);
    ASSERT_TRUE(kept);
    std::istringstream lines(text);
    int answered = 0;
    for (std::string id; std::getline(lines, id); ++answered) {
        EXPECT_EQ(id, *kept);
    }
    EXPECT_EQ(answered, kSenders);
    EXPECT_EQ(restarted.integer("Other"), 1);
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
