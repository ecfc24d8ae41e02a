#include "sender/pipeline/SenderIdentity.h"

#include <algorithm>

#include "platform/Uuid.h"

namespace kelvora {

bool isUsableSenderID(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::string persistentSenderID(UserDefaults& defaults) {
    if (auto stored = defaults.string(kSenderIDKey); stored && isUsableSenderID(*stored)) {
        return *stored;
    }
    std::string id = newUuid();
    defaults.set(kSenderIDKey, id);
    return id;
}

std::string senderIDForSettingsFile(const std::string& keptID, const std::filesystem::path& canonicalPath) {
    // A line feed is in no usable id, so the two parts can never run into each other.
    return nameBasedUuid(keptID + '\n' + canonicalPath.native());
}

}  // namespace kelvora
