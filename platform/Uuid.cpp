#include "platform/Uuid.h"

#include <uuid/uuid.h>

namespace kelvora {

namespace {

std::string upperText(const uuid_t uuid) {
    char text[37] = {};
    uuid_unparse_upper(uuid, text);
    return text;
}

}  // namespace

std::string newUuid() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    return upperText(uuid);
}

std::string nameBasedUuid(std::string_view name) {
    // This program's own namespace, so that its names never meet another program's.
    static const uuid_t space = {0x69, 0xf5, 0xe1, 0x17, 0xe5, 0x26, 0x4a, 0xb9,
                                 0x95, 0x79, 0xee, 0xac, 0xa2, 0x66, 0x52, 0x7f};
    uuid_t uuid;
    uuid_generate_sha1(uuid, space, name.data(), name.size());
    return upperText(uuid);
}

bool isUuidText(std::string_view text) {
    // The parser stops at a NUL: the length is checked on the whole text, or one with a NUL after 36
    // characters would pass.
    uuid_t parsed;
    return text.size() == 36 && uuid_parse(std::string(text).c_str(), parsed) == 0;
}

}  // namespace kelvora
