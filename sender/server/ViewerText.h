#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora {

// A text a viewer chose for itself (its name, its device model), made fit to be logged and shown: at most
// maximumViewerTextCharacters user-perceived characters, cut between characters, and every control
// character, line or paragraph separator and bidirectional override replaced by U+FFFD, so that a name can
// neither forge a log line nor turn a status row around. Invalid UTF-8 becomes U+FFFD as well.
inline constexpr std::size_t maximumViewerTextCharacters = 64;
std::string viewerText(std::string_view text);

}  // namespace kelvora
