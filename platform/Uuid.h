#pragma once

#include <string>

namespace kelvora {

// A random (version 4) UUID in upper-case text, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX": the form of sender
// ids, client ids and session tokens on the wire.
std::string newUuid();

}  // namespace kelvora
