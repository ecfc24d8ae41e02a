#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora {

// The longest prefix of the UTF-8 `text` that holds at most `maxClusters` user-perceived characters
// (extended grapheme clusters, as ICU segments them) and at most `maxBytes` bytes. The cut never falls
// inside a cluster: an accent stays with its letter, a flag or a family emoji stays whole.
std::string prefixOfGraphemes(std::string_view text, std::size_t maxClusters, std::size_t maxBytes);

// The number of user-perceived characters in `text`.
std::size_t graphemeCount(std::string_view text);

}  // namespace kelvora
