#include "sender/sources/ScreenBlend.h"

namespace kelvora {

void screenBlend(uint8_t* __restrict destination, const uint8_t* __restrict source, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        // s·d / 255, rounded, without a division.
        const unsigned product = static_cast<unsigned>(source[i]) * destination[i] + 128;
        destination[i] = static_cast<uint8_t>(source[i] + destination[i] - ((product + (product >> 8)) >> 8));
    }
}

}  // namespace kelvora
