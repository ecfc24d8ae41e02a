#include "core/PeerText.h"

#include "platform/Graphemes.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace kelvora {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";
// Bounds the work on a long text before the cut; generous enough that ordinary characters with a few marks
// or joiners fit the bound.
constexpr std::size_t bytesPerCharacter = 32;

// The code point at the start of well-formed UTF-8 and its length in bytes.
std::pair<char32_t, std::size_t> decodeOne(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<uint8_t>(text[i])); };
    const char32_t lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 6) | (byte(i) & 0x3F);
    }
    return {value, length};
}

// Tabs and line breaks, which a name typed or pasted on another device may well hold: each reads as the
// space it stands for.
bool isBlank(char32_t c) {
    return c == '\t' || (c >= '\n' && c <= '\r')  // tab, line feed, vertical tab, form feed, carriage return
           || c == 0x2028 || c == 0x2029;         // line and paragraph separators
}

// The left-to-right, right-to-left and Arabic letter marks are not here: they only settle the direction of
// the neutral characters beside them, cannot turn the text around them, and mixed Hebrew and Arabic names
// carry them.
bool mustBeReplaced(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F)  // C0, DEL, C1
           || (c >= 0x202A && c <= 0x202E)       // bidirectional embeddings and overrides
           || (c >= 0x2066 && c <= 0x2069);      // bidirectional isolates
}

}  // namespace

std::string peerText(std::string_view text, std::size_t maximumCharacters) {
    const std::size_t maximumBytes = maximumCharacters * bytesPerCharacter;
    const bool cutShort = text.size() > maximumBytes;
    const std::string valid = validUtf8(text.substr(0, maximumBytes));
    std::string cleaned;
    cleaned.reserve(valid.size());
    for (std::string_view rest = valid; !rest.empty();) {
        auto [codePoint, length] = decodeOne(rest);
        if (isBlank(codePoint)) {
            // A line break of two, carriage return and line feed, is one break.
            length += rest.starts_with("\r\n") ? 1 : 0;
            cleaned += ' ';
        } else {
            cleaned += mustBeReplaced(codePoint) ? replacement : rest.substr(0, length);
        }
        rest.remove_prefix(length);
    }
    std::size_t characters = maximumCharacters;
    if (cutShort) {
        // Cut off by the byte bound, perhaps inside a character: that last one is not whole.
        const std::size_t whole = graphemeCount(cleaned);
        characters = std::min(characters, whole == 0 ? 0 : whole - 1);
    }
    return prefixOfGraphemes(cleaned, characters, 4 * maximumBytes);
}

std::string peerID(std::string_view text) {
    const std::string_view bounded = text.substr(0, maximumPeerIDCharacters * bytesPerCharacter);
    return peerText(prefixOfGraphemes(bounded, std::numeric_limits<std::size_t>::max(), maximumPeerIDBytes),
                    maximumPeerIDCharacters);
}

}  // namespace kelvora
