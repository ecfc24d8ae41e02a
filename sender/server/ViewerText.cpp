#include "sender/server/ViewerText.h"

#include "platform/Graphemes.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace kelvora {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";
// Four bytes per character at most, so the byte cut never comes before the character cut does.
// Bounds the work on a long text before the cut; generous enough that ordinary characters with a few marks
// or joiners fit maximumViewerTextCharacters times.
constexpr std::size_t maximumViewerTextBytes = maximumViewerTextCharacters * 32;

struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

// The code point at the start of `text`, or nothing for an invalid sequence (which then counts as one
// byte).
std::optional<Decoded> decodeOne(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{value, length};
}

bool mustBeReplaced(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F)  // C0, DEL, C1
           || c == 0x2028 || c == 0x2029         // line and paragraph separators
           || (c >= 0x202A && c <= 0x202E)       // bidirectional embeddings and overrides
           || (c >= 0x2066 && c <= 0x2069);      // bidirectional isolates
}

}  // namespace

std::string viewerText(std::string_view text) {
    std::string cleaned;
    cleaned.reserve(std::min(text.size(), maximumViewerTextBytes));
    while (!text.empty() && cleaned.size() < maximumViewerTextBytes) {
        const auto decoded = decodeOne(text);
        if (!decoded || mustBeReplaced(decoded->codePoint)) {
            cleaned += replacement;
        } else {
            cleaned += text.substr(0, decoded->length);
        }
        text.remove_prefix(decoded ? decoded->length : 1);
    }
    std::size_t characters = maximumViewerTextCharacters;
    if (!text.empty()) {
        // Cut off by the byte bound, perhaps inside a character: that last one is not whole.
        const std::size_t whole = graphemeCount(cleaned);
        characters = std::min(characters, whole == 0 ? 0 : whole - 1);
    }
    return prefixOfGraphemes(cleaned, characters, maximumViewerTextBytes);
}

}  // namespace kelvora
