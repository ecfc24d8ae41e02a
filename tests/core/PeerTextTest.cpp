#include <gtest/gtest.h>

#include "core/PeerText.h"

using namespace kelvora;

TEST(PeerText, ReplacesWhatCouldForgeALineOrTurnTextAroundAndCutsBetweenCharacters) {
    struct Case {
        std::string input;
        std::string expected;
        std::size_t bound = maximumPeerNameCharacters;
    };
    const std::string flag = "\U0001F1E9\U0001F1EA";  // one character of two code points
    const Case cases[] = {
        {"Lisa’s iPad", "Lisa’s iPad"},
        {"a\tb\rc\nd\r\ne\x7f"
         "f\x1b[2J",
         "a b c d e\uFFFDf\uFFFD[2J"},
        {std::string("nul\0end", 7), "nul\uFFFDend"},
        {"C1\xC2\x85"
         "end",
         "C1\uFFFDend"},
        {"sep\u2028par\u2029x", "sep par x"},
        {"\u202Eevil\u202A\u2066iso\u2069", "\uFFFDevil\uFFFD\uFFFDiso\uFFFD"},
        {"\u05E9\u05DC\u05D5\u05DD\u200E 2\u200F\u061C", "\u05E9\u05DC\u05D5\u05DD\u200E 2\u200F\u061C"},
        {"bad\xFF\xC3", "bad\uFFFD\uFFFD"},
        {std::string(63, 'a') + flag + "z", std::string(63, 'a') + flag},
        {std::string(63, 'a') + "e\u0301" + "z", std::string(63, 'a') + "e\u0301"},
        {std::string(4 << 20, 'y'), std::string(64, 'y')},
    };
    for (const auto& [input, expected, bound] : cases) {
        EXPECT_EQ(peerText(input, bound), expected) << input.substr(0, 80);
    }
    EXPECT_EQ(peerID(std::string(200, 'i')), std::string(maximumPeerIDCharacters, 'i'));
}
