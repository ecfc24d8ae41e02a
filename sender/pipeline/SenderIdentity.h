#pragma once

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
// Throws UserDefaultsError when a new id cannot be stored.
std::string persistentSenderID(UserDefaults& defaults);

}  // namespace kelvora
