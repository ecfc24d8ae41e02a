#include "platform/PixelBuffer.h"

#include "platform/PixelBufferStorage.h"

#include <cstdlib>
#include <new>

namespace kelvora {
namespace {

constexpr size_t kAlignment = 64;

size_t alignUp(size_t value) {
    return (value + kAlignment - 1) / kAlignment * kAlignment;
}

void checkSize(int width, int height) {
    if (width < 1 || height < 1 || width > PixelBuffer::kMaximumDimension ||
        height > PixelBuffer::kMaximumDimension) {
        throw PixelBufferError("pixel buffer size " + std::to_string(width) + "x" + std::to_string(height) +
                               " is outside 1...16384");
    }
}

int planesOf(PixelFormat format) {
    return format == PixelFormat::nv12 ? 2 : 1;
}

// Bytes of one row's samples and the number of rows, per plane.
int rowBytes(PixelFormat format, int width, int plane) {
    if (format == PixelFormat::bgra) {
        return width * 4;
    }
    return plane == 0 ? width : (width + 1) / 2 * 2;
}

int rows(PixelFormat format, int height, int plane) {
    return format == PixelFormat::nv12 && plane == 1 ? (height + 1) / 2 : height;
}

}  // namespace

const char* pixelFormatName(PixelFormat format) {
    return format == PixelFormat::nv12 ? "NV12" : "BGRA";
}

std::unique_ptr<PixelBuffer::Storage> PixelBuffer::Storage::allocate(PixelFormat format, int width,
                                                                     int height) {
    checkSize(width, height);
    auto storage = std::make_unique<Storage>();
    storage->format = format;
    storage->width = width;
    storage->height = height;
    std::array<size_t, 2> offsets{};
    size_t total = 0;
    for (int plane = 0; plane < planesOf(format); ++plane) {
        size_t stride = alignUp(static_cast<size_t>(rowBytes(format, width, plane)));
        storage->strides[plane] = static_cast<int>(stride);
        offsets[plane] = total;
        total += alignUp(stride * static_cast<size_t>(rows(format, height, plane)));
    }
    auto* memory = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, total));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    storage->memory.reset(memory);
    for (int plane = 0; plane < planesOf(format); ++plane) {
        storage->planes[plane] = memory + offsets[plane];
    }
    return storage;
}

PixelBuffer PixelBuffer::make(PixelFormat format, int width, int height) {
    return PixelBuffer(std::shared_ptr<Storage>(Storage::allocate(format, width, height)));
}

PixelBuffer PixelBuffer::wrap(PixelFormat format, int width, int height, std::array<uint8_t*, 2> planes,
                              std::array<int, 2> strides, std::shared_ptr<const void> owner) {
    checkSize(width, height);
    for (int plane = 0; plane < 2; ++plane) {
        if (plane >= planesOf(format)) {
            if (planes[plane] != nullptr) {
                throw PixelBufferError(std::string("a ") + pixelFormatName(format) + " picture has " +
                                       std::to_string(planesOf(format)) + " plane(s)");
            }
            continue;
        }
        if (planes[plane] == nullptr || strides[plane] < rowBytes(format, width, plane)) {
            throw PixelBufferError("plane " + std::to_string(plane) +
                                   " is missing or its stride is too small");
        }
    }
    auto storage = std::make_shared<Storage>();
    storage->format = format;
    storage->width = width;
    storage->height = height;
    storage->planes = planes;
    storage->strides = {strides[0], planesOf(format) > 1 ? strides[1] : 0};
    storage->owner = std::move(owner);
    return PixelBuffer(std::move(storage));
}

const PixelBuffer::Storage& PixelBuffer::storage() const {
    if (!storage_) {
        throw PixelBufferError("null pixel buffer");
    }
    return *storage_;
}

PixelFormat PixelBuffer::format() const {
    return storage().format;
}

int PixelBuffer::width() const {
    return storage().width;
}

int PixelBuffer::height() const {
    return storage().height;
}

int PixelBuffer::planeCount() const {
    return planesOf(storage().format);
}

static void checkPlane(int plane, int count) {
    if (plane < 0 || plane >= count) {
        throw PixelBufferError("no plane " + std::to_string(plane));
    }
}

uint8_t* PixelBuffer::data(int plane) const {
    checkPlane(plane, planeCount());
    return storage_->planes[plane];
}

int PixelBuffer::stride(int plane) const {
    checkPlane(plane, planeCount());
    return storage_->strides[plane];
}

int PixelBuffer::planeWidth(int plane) const {
    checkPlane(plane, planeCount());
    return plane == 0 ? storage_->width : (storage_->width + 1) / 2;
}

int PixelBuffer::planeHeight(int plane) const {
    checkPlane(plane, planeCount());
    return rows(storage_->format, storage_->height, plane);
}

int PixelBuffer::bytesPerSample(int plane) const {
    checkPlane(plane, planeCount());
    return storage_->format == PixelFormat::bgra ? 4 : (plane == 0 ? 1 : 2);
}

}  // namespace kelvora
