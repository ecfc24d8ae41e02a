#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelvora {

// Owned bytes of a wire structure, and a borrowed view into someone else's.
using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

}  // namespace kelvora
