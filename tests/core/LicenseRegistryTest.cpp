#include "core/LicenseRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_set>

using namespace kelvora;

namespace {
const LicenseEntry* find(const std::vector<LicenseEntry>& entries, const std::string& name) {
    auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; });
    return found == entries.end() ? nullptr : &*found;
}
}  // namespace

// Runs first in this file: the registry is process-wide.
TEST(LicenseRegistry, StartsWithTheProgramsOwnEntryAndEveryLinkedLibrary) {
    auto entries = LicenseRegistry::entries();
    EXPECT_EQ(entries, LicenseRegistry::initialEntries());
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
    size_t before = LicenseRegistry::entries().size();
    LicenseEntry a{"Component A", "1", "MIT", "", "A"};
    LicenseEntry b{"Component B", "1", "MIT", "", "B"};
    LicenseEntry newerA{"Component A", "2", "MIT", "https://example.org/a", "A"};
    LicenseRegistry::registerEntry(a);
    LicenseRegistry::registerEntry(b);
    LicenseRegistry::registerEntry(newerA);
    LicenseRegistry::registerEntry(newerA);

    auto entries = LicenseRegistry::entries();
    ASSERT_EQ(entries.size(), before + 2);
    EXPECT_EQ(entries.front().name, "Tilvara");
    EXPECT_EQ(entries[entries.size() - 2], b);
    EXPECT_EQ(entries.back(), newerA);
    EXPECT_NE(std::hash<LicenseEntry>{}(a), std::hash<LicenseEntry>{}(newerA));
}

// Runs last in this file: it takes the program's entry from the front.
TEST(LicenseRegistry, RegisteringTheProductNameReplacesItsEntry) {
    LicenseEntry replacement{"Tilvara", "9.9", "GPL-2.0-or-later", "", "replaced"};
    LicenseRegistry::registerEntry(replacement);
    auto entries = LicenseRegistry::entries();
    EXPECT_EQ(entries.back(), replacement);
    EXPECT_EQ(
        std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.name == "Tilvara"; }), 1);
    EXPECT_NE(entries.front().name, "Tilvara");
}
