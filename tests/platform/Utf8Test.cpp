#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvora {
namespace {

constexpr const char* R = "\xEF\xBF\xBD";

std::string replaced(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += R;
    }
    return text;
}

TEST(ValidUtf8, KeepsWellFormedTextAndReplacesEachIllFormedSequenceOnce) {
    struct Case {
        std::string bytes;
        std::string expected;
        const char* what;
    };
    const Case cases[] = {
        {"", "", "empty"},
        {std::string("a\0b", 3), std::string("a\0b", 3), "a zero byte is a character"},
        {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5",
         "two to four bytes"},
        {"\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xED\x9F\xBF", "\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xED\x9F\xBF",
         "edges that are valid"},
        {"Clip \xE9t\xE9", std::string("Clip ") + R + "t" + R, "Latin-1"},
        {"Cam \xC3", std::string("Cam ") + R, "two-byte character cut at the end"},
        {"Cam \xE2\x82", std::string("Cam ") + R, "three-byte character cut at the end"},
        {"\xF0\x9F\x8E", R, "four-byte character cut at the end"},
        {"\xE2\x82"
         "A",
         std::string(R) + "A", "cut in the middle: the next character is kept"},
        {"\xE2\x82\xC3\xA9", std::string(R) + "\xC3\xA9", "cut by the start of another character"},
        {"\x80", R, "lone continuation byte"},
        {"\x80\xBF\x80", replaced(3), "run of continuation bytes"},
        {"\xC3\xA9\xA9", std::string("\xC3\xA9") + R, "one continuation byte too many"},
        {"\xC0\xAF", replaced(2), "overlong slash in two bytes"},
        {"\xC1\xBF", replaced(2), "overlong in two bytes"},
        {"\xE0\x80\xAF", replaced(3), "overlong in three bytes"},
        {"\xF0\x8F\xBF\xBF", replaced(4), "overlong in four bytes"},
        {"\xED\xA0\x80", replaced(3), "high surrogate"},
        {"\xED\xBF\xBF", replaced(3), "low surrogate"},
        {"\xF4\x90\x80\x80", replaced(4), "above U+10FFFF"},
        {"\xF5\x80\x80\x80", replaced(4), "lead byte beyond the code space"},
        {"\xFE\xFF", replaced(2), "bytes that are never UTF-8"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(validUtf8(c.bytes), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace kelvora
