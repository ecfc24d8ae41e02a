#include "platform/AvahiStrings.h"

namespace kelvora::avahi {

StringList toStringList(const TxtRecord& record) {
    AvahiStringList* list = nullptr;
    const auto strings = record.strings();
    for (const auto& text : strings) {
        list =
            avahi_string_list_add_arbitrary(list, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    return StringList(list);
}

std::vector<std::string> fromStringList(AvahiStringList* list) {
    std::vector<std::string> strings;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                             avahi_string_list_get_size(item));
    }
    return strings;
}

std::string sanitizedUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        size_t length = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= size;
        uint32_t codePoint = valid ? lead & (0xFF >> (length + 1)) : 0;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                valid = false;
            } else {
                codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
            }
        }
        valid = valid && codePoint >= minimum && codePoint <= 0x10FFFF &&
                !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

}  // namespace kelvora::avahi
