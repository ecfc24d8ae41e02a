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
    const std::string uuid = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    const Case cases[] = {
        {"Lisa’s iPad", "Lisa’s iPad"},
        {"a\tb\rc\nd\x7f"
         "e\x1b[2J",
         "a\uFFFDb\uFFFDc\uFFFDd\uFFFDe\uFFFD[2J"},
        {std::string("nul\0end", 7), "nul\uFFFDend"},
        {"C1\xC2\x85"
         "end",
         "C1\uFFFDend"},
        {"sep\u2028par\u2029x", "sep\uFFFDpar\uFFFDx"},
        {"\u202Eevil\u202A\u2066iso\u2069\u200F\u061C", "\uFFFDevil\uFFFD\uFFFDiso\uFFFD\uFFFD\uFFFD"},
        {"bad\xFF\xC3", "bad\uFFFD\uFFFD"},
        {std::string(63, 'a') + flag + "z", std::string(63, 'a') + flag},
        {std::string(63, 'a') + "e\u0301" + "z", std::string(63, 'a') + "e\u0301"},
        {std::string(4 << 20, 'y'), std::string(64, 'y')},
        {uuid, uuid, maximumPeerIDCharacters},
        {uuid + "-X3", uuid + "-X3", maximumPeerIDCharacters},
        {uuid + "-and-more\n", uuid + "-and", maximumPeerIDCharacters},
    };
    for (const auto& [input, expected, bound] : cases) {
        EXPECT_EQ(peerText(input, bound), expected) << input.substr(0, 80);
    }
    EXPECT_EQ(peerID(uuid + "-X3+x"), uuid + "-X3+");
}
