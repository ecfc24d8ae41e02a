#include "platform/Utf8.h"

namespace kelvora {

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

}  // namespace

std::string validUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    const size_t size = bytes.size();
    size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // The length a lead byte announces, and the range its first continuation byte must fall in: the
        // narrower ranges after E0, ED, F0 and F4 are what shuts out overlong forms, surrogates and values
        // above U+10FFFF. C0, C1 and F5 to FF never start a character.
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        size_t taken = 1;
        while (taken < length && i + taken < size) {
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            if (next < low || next > high) {
                break;
            }
            low = 0x80;
            high = 0xBF;
            ++taken;
        }
        if (length != 0 && taken == length) {
            text.append(bytes.substr(i, length));
        } else {
            // The bytes taken so far are the cut character; the byte that broke it starts afresh.
            text.append(replacementCharacter);
        }
        i += taken;
    }
    return text;
}

}  // namespace kelvora
