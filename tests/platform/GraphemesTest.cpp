#include "platform/Graphemes.h"

#include <gtest/gtest.h>

using namespace kelvora;

namespace {
const std::string eAcute = "e\xCC\x81";                             // e + combining acute: one character
const std::string germanFlag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // two regional indicators
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";  // man ZWJ woman
}  // namespace

TEST(Graphemes, CountsUserPerceivedCharacters) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("Kamera"), 6u);
    EXPECT_EQ(graphemeCount(eAcute + eAcute), 2u);
    EXPECT_EQ(graphemeCount(germanFlag + family), 2u);
}

TEST(Graphemes, CutsByCharactersNeverInsideOne) {
    EXPECT_EQ(prefixOfGraphemes("Studio Halle", 6, 100), "Studio");
    EXPECT_EQ(prefixOfGraphemes(eAcute + "x", 1, 100), eAcute);
    EXPECT_EQ(prefixOfGraphemes(germanFlag + germanFlag, 1, 100), germanFlag);
    EXPECT_EQ(prefixOfGraphemes("short", 60, 255), "short");
}

TEST(Graphemes, CutsByBytesAtTheLastWholeCharacter) {
    // The accent's bytes would fit only in part: the whole character stays out.
    EXPECT_EQ(prefixOfGraphemes("ab" + eAcute, 10, 4), "ab");
    EXPECT_EQ(prefixOfGraphemes(family + "x", 10, family.size() - 1), "");
    EXPECT_EQ(prefixOfGraphemes(family + "x", 10, family.size()), family);
}
