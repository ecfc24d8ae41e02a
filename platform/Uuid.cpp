#include "platform/Uuid.h"

#include <uuid/uuid.h>

namespace kelvora {

std::string newUuid() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37] = {};
    uuid_unparse_upper(uuid, text);
    return text;
}

bool isUuidText(std::string_view text) {
    // The parser stops at a NUL: the length is checked on the whole text, or one with a NUL after 36
    // characters would pass.
    uuid_t parsed;
    return text.size() == 36 && uuid_parse(std::string(text).c_str(), parsed) == 0;
}

}  // namespace kelvora
