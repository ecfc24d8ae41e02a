#pragma once

#include <string>
#include <string_view>

namespace kelvora {

// A random (version 4) UUID in upper-case text, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX": the form of sender
// ids, client ids and session tokens on the wire.
std::string newUuid();

// Whether `text` has that form: 36 characters, hyphens after the 8th, 12th, 16th and 20th hex digit, the
// digits in either case.
bool isUuidText(std::string_view text);

}  // namespace kelvora
