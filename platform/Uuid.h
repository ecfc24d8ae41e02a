#pragma once

#include <string>
#include <string_view>

namespace kelvora {

// A random (version 4) UUID in upper-case text, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX": the form of sender
// ids, client ids and session tokens on the wire.
std::string newUuid();

// A name-based (version 5) UUID in the same text form: the same `name` gives the same UUID on every
// computer and at every start, different names (any bytes) different ones.
std::string nameBasedUuid(std::string_view name);

// Whether `text` has that form: 36 characters, hyphens after the 8th, 12th, 16th and 20th hex digit, the
// digits in either case.
bool isUuidText(std::string_view text);

}  // namespace kelvora
