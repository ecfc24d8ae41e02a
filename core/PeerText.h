#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora {

// A text the peer chose (a viewer's name or device model, a sender's name, source name or id, a goodbye
// reason, a DNS-SD instance name or TXT value), made fit to be logged, shown and stored: at most
// `maximumCharacters` user-perceived characters, cut between characters; a tab or line break becomes a space
// (a carriage return with its line feed one), and every other control character and every bidirectional
// embedding, override or isolate is replaced by U+FFFD, so that a name can neither forge a log line nor turn
// a status row around. Ill-formed UTF-8 becomes U+FFFD as well. The work is bounded by the
// bound, not by the length of what the peer sent, so it comes before anything else touches the text.
inline constexpr std::size_t maximumPeerNameCharacters = 64;
std::string peerText(std::string_view text, std::size_t maximumCharacters = maximumPeerNameCharacters);

// The same for an identifier the peer names itself by (a sender id). The longest this system makes is an
// extra output's, the sender's UUID, "-" and the output's UUID (73 characters); the bound leaves room above
// it. An id is first cut, between characters, to what the "id" entry of a DNS-SD TXT record holds, as the
// announcement cuts it, so that the id a viewer discovers and the one the welcome names are the same.
inline constexpr std::size_t maximumPeerIDCharacters = 128;
inline constexpr std::size_t maximumPeerIDBytes = 255 - std::char_traits<char>::length("id=");
std::string peerID(std::string_view text);

}  // namespace kelvora
