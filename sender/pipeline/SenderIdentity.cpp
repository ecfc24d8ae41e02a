#include "sender/pipeline/SenderIdentity.h"

#include <algorithm>

#include "platform/Uuid.h"

namespace kelvora {

bool isUsableSenderID(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::string persistentSenderID(UserDefaults& defaults) {
    // Two senders started at once on a computer where none ran before both find no id: the one that stores
    // first makes it, and the other finds it there instead of overwriting it with one of its own.
    return defaults
        .valueOrCreate(
            kSenderIDKey,
            [](const UserDefaults::Json& stored) {
                return stored.is_string() && isUsableSenderID(stored.get<std::string>());
            },
            [] { return UserDefaults::Json(newUuid()); })
        .get<std::string>();
}

std::string senderIDForSettingsFile(const std::string& keptID, const std::filesystem::path& canonicalPath) {
    // A line feed is in no usable id, so the two parts can never run into each other.
    return nameBasedUuid(keptID + '\n' + canonicalPath.native());
}

}  // namespace kelvora
