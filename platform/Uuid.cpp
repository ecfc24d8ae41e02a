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

}  // namespace kelvora
