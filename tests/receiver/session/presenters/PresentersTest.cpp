#include "receiver/session/presenters/LicenseList.h"
#include "receiver/session/presenters/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

namespace kelvora {
namespace {

// A locale that writes decimal commas, as a German desktop does.
struct CommaPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(NumberText, UsesADecimalPointAndPrintfRoundingUnderAnyLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaPunctuation));
    const struct {
        double value;
        int decimals;
        const char* text;
    } cases[] = {
        {8.5, 1, "8.5"},
        {8.25, 1, "8.2"},
        {8.35, 1, "8.3"},
        {0.05, 1, "0.1"},
        {-0.04, 1, "-0.0"},
        {2.5, 0, "2"},
        {3.5, 0, "4"},
        {1e20, 1, "100000000000000000000.0"},
        {12.3456, 2, "12.35"},
        {std::nan(""), 1, "\u2013"},
        {std::numeric_limits<double>::infinity(), 1, "\u2013"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fixedText(c.value, c.decimals), c.text) << c.value;
    }
    std::locale::global(previous);
}

TEST(NumberText, RoundsHalvesAwayFromZero) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {59.5, "60"}, {59.49, "59"},    {-0.5, "-1"},       {2.5, "3"},
        {0.0, "0"},   {1e19, "\u2013"}, {-1e300, "\u2013"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(roundedText(c.value), c.text) << c.value;
    }
}

TEST(LicenseList, OnlyWebAddressesBecomeLinks) {
    const struct {
        const char* url;
        bool linkable;
    } cases[] = {
        {"https://ffmpeg.org/legal.html", true},
        {"HTTP://avahi.org", true},
        {"https://[::1]:8443/x", true},
        {"https://example.org:443?q=1", true},
        {"", false},
        {"ffmpeg.org", false},
        {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},
        {"https://", false},
        {"https:///path", false},
        {"https://exa mple.org", false},
        {"https://example.org/\n", false},
        {"https://user@evil.example", false},
        {"https://example.org:99999", false},
        {"https://example.org:", false},
        {"https://-example.org", false},
        {"https://[zz]/", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isLinkableUrl(c.url), c.linkable) << c.url;
    }
}

TEST(LicenseList, RowsKeepTheRegistryOrderAndDropUnusableLinks) {
    const std::vector<LicenseEntry> entries = {
        {"Tilvara", "0.1.0", "GPL-2.0-or-later", "", "Eigenes."},
        {"x264", "164", "GPL-2.0-or-later", "not a url", "Encoder."},
        {"Asio", "1.28.1", "BSL-1.0", "https://think-async.com/Asio/", "Netz."},
    };
    const auto rows = licenseRows(entries);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (LicenseRow{"Tilvara", "GPL-2.0-or-later", "Version 0.1.0", "Eigenes.", ""}));
    EXPECT_EQ(rows[1].link, "");
    EXPECT_EQ(rows[2].link, "https://think-async.com/Asio/");
    EXPECT_EQ(rows[2].versionText, "Version 1.28.1");
}

}  // namespace
}  // namespace kelvora
