#include "core/LicenseRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unordered_set>

using namespace kelvora;

namespace {
const LicenseEntry* find(const std::vector<LicenseEntry>& entries, const std::string& name) {
    auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; });
    return found == entries.end() ? nullptr : &*found;
}
}  // namespace

TEST(LicenseRegistry, StartsWithTheProgramsOwnEntryAndEveryLinkedLibrary) {
    // The registry is process-wide and the other tests change it: it is looked at in a process of its own.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(LicenseRegistry::entries() == LicenseRegistry::initialEntries() ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);

    const auto entries = LicenseRegistry::initialEntries();
    ASSERT_FALSE(entries.empty());
    const LicenseEntry& product = entries.front();
    EXPECT_EQ(product.name, "Tilvara");
    EXPECT_EQ(product.license, "GPL-2.0-or-later");
    EXPECT_EQ(product.version, KELVORA_VERSION);
    EXPECT_EQ(product.notice.find("ausschließlich"), std::string::npos);

    for (const char* name : {"Asio", "JSON for Modern C++", "spdlog", "{fmt}", "Avahi", "GnuTLS", "ngtcp2",
                             "FFmpeg (libavcodec, libavformat, libavutil, libswscale)", "x264", "Cairo",
                             "Pango", "ICU", "libudev", "libsystemd", "libuuid"}) {
        const LicenseEntry* entry = find(entries, name);
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_FALSE(entry->version.empty()) << name;
        EXPECT_FALSE(entry->license.empty()) << name;
        EXPECT_FALSE(entry->notice.empty()) << name;
    }
    // The codec libraries are GPL builds, which is why the program itself is GPL.
    EXPECT_EQ(find(entries, "x264")->license, "GPL-2.0-or-later");
    EXPECT_EQ(find(entries, "FFmpeg (libavcodec, libavformat, libavutil, libswscale)")->license,
              "GPL-2.0-or-later");

    std::unordered_set<std::string> names;
    for (const auto& entry : entries) {
        EXPECT_TRUE(names.insert(entry.name).second) << "duplicate " << entry.name;
    }
}

TEST(LicenseRegistry, RegisteringAgainReplacesAndMovesToTheEnd) {
    // Names of this run's own: the registry is process-wide, and a repeated test runs in the same process.
    static int run = 0;
    const std::string suffix = " " + std::to_string(++run);
    size_t before = LicenseRegistry::entries().size();
    LicenseEntry a{"Component A" + suffix, "1", "MIT", "", "A"};
    LicenseEntry b{"Component B" + suffix, "1", "MIT", "", "B"};
    LicenseEntry newerA{"Component A" + suffix, "2", "MIT", "https://example.org/a", "A"};
    LicenseRegistry::registerEntry(a);
    LicenseRegistry::registerEntry(b);
    LicenseRegistry::registerEntry(newerA);
    LicenseRegistry::registerEntry(newerA);

    auto entries = LicenseRegistry::entries();
    ASSERT_EQ(entries.size(), before + 2);
    EXPECT_EQ(entries[entries.size() - 2], b);
    EXPECT_EQ(entries.back(), newerA);
    EXPECT_NE(std::hash<LicenseEntry>{}(a), std::hash<LicenseEntry>{}(newerA));
}

TEST(LicenseRegistry, RegisteringTheProductNameReplacesItsEntry) {
    const size_t before = LicenseRegistry::entries().size();
    LicenseEntry replacement{"Tilvara", "9.9", "GPL-2.0-or-later", "", "replaced"};
    LicenseRegistry::registerEntry(replacement);
    auto entries = LicenseRegistry::entries();
    EXPECT_EQ(entries.size(), before);
    EXPECT_EQ(entries.back(), replacement);
    EXPECT_EQ(
        std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.name == "Tilvara"; }), 1);
}
