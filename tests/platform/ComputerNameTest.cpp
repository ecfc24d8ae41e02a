#include "platform/ComputerName.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kelvora;

TEST(ComputerName, PrettyHostNameReadsShellAssignments) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"PRETTY_HOSTNAME=Studio\n", "Studio"},
        {"CHASSIS=desktop\nPRETTY_HOSTNAME=\"Annas Rechner\"\nDEPLOYMENT=production", "Annas Rechner"},
        {"PRETTY_HOSTNAME='It''s \"mine\"'", "Its \"mine\""},
        {"PRETTY_HOSTNAME=\"Say \\\"hi\\\"\"", "Say \"hi\""},
        {"  PRETTY_HOSTNAME=\"  Regie \t\"", "Regie"},
        {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second", "second"},
        {"PRETTY_HOSTNAME=a\x01"
         "b\x7f",
         "ab"},
        {"PRETTY_HOSTNAME=\xff"
         "x",
         "\xef\xbf\xbdx"},
        {"#PRETTY_HOSTNAME=commented", ""},
        {"PRETTY_HOSTNAME=\"\"", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(prettyHostName(c.text), c.expected) << c.text;
    }
}

TEST(ComputerName, PrettyNameWinsOverTheHostName) {
    const auto root = std::filesystem::temp_directory_path() / ("computer-name-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "etc");
    std::ofstream(root / "etc/machine-info") << "PRETTY_HOSTNAME=\"Büro 2\"\n";
    EXPECT_EQ(computerName(root), "Büro 2");
    // Without a pretty name the host name counts, which is never empty on a running system.
    std::ofstream(root / "etc/machine-info") << "CHASSIS=laptop\n";
    EXPECT_NE(computerName(root), "");
    EXPECT_NE(computerName(root), "Büro 2");
    std::filesystem::remove_all(root);
}
