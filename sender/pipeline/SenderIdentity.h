#pragma once

#include <filesystem>
#include <string>

#include "platform/UserDefaults.h"

namespace kelvora {

// The key under which a sender keeps its id in its defaults.
inline constexpr const char* kSenderIDKey = "SenderID";

// The id goes into every announcement and every welcome: a stored value that no UUID writer made (empty,
// long, or with characters beyond printable ASCII) is replaced rather than announced.
bool isUsableSenderID(const std::string& id);

// The sender's id across restarts: the usable one stored under kSenderIDKey, or else a new one, stored
// there before it is returned, so that a viewer that played this sender finds it again after a restart.
// Of several processes that start at once without one, all return the id the first of them stored.
// Throws UserDefaultsError when a new id cannot be stored.
std::string persistentSenderID(UserDefaults& defaults);

// The id of a headless sender that runs the settings of one file: senders started with different files
// announce different ids (viewers keep one row per id, and a viewer's last sender is found by it), and a
// sender started again with the same file announces the same one. It is made from the program's kept id and
// the file's canonical path rather than stored, so there is nothing that two senders starting at once could
// overwrite.
std::string senderIDForSettingsFile(const std::string& keptID, const std::filesystem::path& canonicalPath);

}  // namespace kelvora
