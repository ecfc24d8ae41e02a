#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora {

// A text the peer chose (a viewer's name or device model, a sender's name, source name or id, a goodbye
// reason, a DNS-SD instance name or TXT value), made fit to be logged, shown and stored: at most
// `maximumCharacters` user-perceived characters, cut between characters, and every control character, line
// or paragraph separator and bidirectional control replaced by U+FFFD, so that a name can neither forge a
// log line nor turn a status row around. Ill-formed UTF-8 becomes U+FFFD as well. The work is bounded by the
// bound, not by the length of what the peer sent, so it comes before anything else touches the text.
inline constexpr std::size_t maximumPeerNameCharacters = 64;
std::string peerText(std::string_view text, std::size_t maximumCharacters = maximumPeerNameCharacters);

// The same for an identifier the peer names itself by (a sender id): no real one is longer than a UUID with
// an extra output's suffix ("-X3").
inline constexpr std::size_t maximumPeerIDCharacters = 40;
inline std::string peerID(std::string_view text) {
    return peerText(text, maximumPeerIDCharacters);
}

}  // namespace kelvora
