#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace kelvora {

// The two pixel layouts the system moves between its stages.
enum class PixelFormat : uint8_t {
    // 4:2:0, two planes: Y (one byte per pixel) and interleaved Cb/Cr (one pair per 2x2 pixels), video range
    // (Y 16...235, Cb/Cr 16...240), BT.709. What the encoders take and the decoders give.
    nv12,
    // One plane, four bytes per pixel in memory order blue, green, red, alpha. What drawing and display use.
    bgra,
};

const char* pixelFormatName(PixelFormat format);

class PixelBufferError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A picture in memory: a shared handle, cheap to copy; the pixels live until the last copy is gone (and then
// go back to their pool, if they came from one). Copies share the pixels, so whoever writes into a buffer
// must own it alone until it hands it on; handing a buffer to another thread is safe, writing the same
// pixels from two threads is not.
//
// Every plane's rows are `stride(plane)` bytes apart; a stride may be larger than the visible row.
// Buffers made here align each plane and each stride to 64 bytes.
class PixelBuffer {
  public:
    static constexpr int kMaximumDimension = 16384;

    // A null handle; `bool(buffer)` is false.
    PixelBuffer() = default;

    // New, uninitialised pixels. Throws PixelBufferError for a size outside 1...16384 in either direction.
    static PixelBuffer make(PixelFormat format, int width, int height);

    // Pixels that belong to someone else (a decoder's frame, a network receiver's buffer), without a copy.
    // `owner` is kept alive as long as any copy of the buffer exists. Strides must cover a row, may not be
    // negative, and unused planes must be null.
    static PixelBuffer wrap(PixelFormat format, int width, int height, std::array<uint8_t*, 2> planes,
                            std::array<int, 2> strides, std::shared_ptr<const void> owner);

    explicit operator bool() const { return storage_ != nullptr; }

    PixelFormat format() const;
    int width() const;
    int height() const;
    bool isPlanar() const { return planeCount() > 1; }
    int planeCount() const;

    // Writable through any copy: the handle is shared, like the pixels behind it.
    uint8_t* data(int plane) const;
    int stride(int plane) const;
    // Samples per row and rows of a plane: for NV12's chroma plane, Cb/Cr pairs per row (half the width,
    // rounded up) and half the height (rounded up).
    int planeWidth(int plane) const;
    int planeHeight(int plane) const;
    int bytesPerSample(int plane) const;

    // Two handles to the same pixels.
    bool sharesPixelsWith(const PixelBuffer& other) const { return storage_ == other.storage_; }

    // The memory behind a handle (internal to the buffer and its pool).
    struct Storage;

  private:
    friend class PixelBufferPool;
    explicit PixelBuffer(std::shared_ptr<Storage> storage) : storage_(std::move(storage)) {}
    const Storage& storage() const;

    std::shared_ptr<Storage> storage_;
};

}  // namespace kelvora
