#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kelvora {

// Reads the bits of one NAL unit's payload (after its header), emulation prevention removed. Reads past the
// end give 0, so a cut unit reads as zeros instead of running off its end.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) {
        bytes_.reserve(size);
        int zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            bytes_.push_back(data[i]);
        }
    }

    // Up to 32 bits, most significant first.
    uint32_t bits(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            const size_t byte = position_ / 8;
            const uint32_t bit = byte < bytes_.size() ? (bytes_[byte] >> (7 - position_ % 8)) & 1 : 0;
            value = (value << 1) | bit;
            ++position_;
        }
        return value;
    }

    // ue(v); nothing for a code longer than 32 bits (or a run of zeros to the end).
    std::optional<uint32_t> exponentialGolomb() {
        int zeros = 0;
        while (bits(1) == 0) {
            if (++zeros > 31) {
                return std::nullopt;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }

    // se(v).
    std::optional<int64_t> signedExponentialGolomb() {
        const auto code = exponentialGolomb();
        if (!code) {
            return std::nullopt;
        }
        const int64_t magnitude = (static_cast<int64_t>(*code) + 1) / 2;
        return *code % 2 == 1 ? magnitude : -magnitude;
    }

    // Whether a read has gone past the last byte.
    bool isExhausted() const { return position_ > bytes_.size() * 8; }
    // Bits read so far, counted in the payload without its emulation prevention bytes.
    size_t position() const { return position_; }
    // That payload, for a caller that rewrites it after reading; the reader is spent afterwards.
    std::vector<uint8_t> takeBytes() { return std::move(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
};

}  // namespace kelvora
