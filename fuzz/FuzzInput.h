#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace kelvora::fuzz {

// Reads a fuzz input front to back: control bytes (chunk sizes, choices) and the bytes they apply to come
// from the same input, so the fuzzer learns both. Past the end every read answers zero or empty.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : rest_(data, size) {}

    bool empty() const { return rest_.empty(); }
    size_t remaining() const { return rest_.size(); }

    uint8_t byte() {
        if (rest_.empty()) {
            return 0;
        }
        const uint8_t value = rest_.front();
        rest_ = rest_.subspan(1);
        return value;
    }

    // Up to `count` bytes, fewer at the end.
    std::span<const uint8_t> take(size_t count) {
        const auto taken = rest_.first(std::min(count, rest_.size()));
        rest_ = rest_.subspan(taken.size());
        return taken;
    }

    std::span<const uint8_t> takeRest() { return take(rest_.size()); }

  private:
    std::span<const uint8_t> rest_;
};

}  // namespace kelvora::fuzz

// A broken property is a finding: stop the way a sanitizer does, so that libFuzzer keeps the input.
#define KELVORA_FUZZ_CHECK(condition)                                                             \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
