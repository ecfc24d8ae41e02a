#pragma once

// The binary interface of the NDI runtime library (libndi), declared here for the few calls this program
// makes. The library is never linked: it is opened at run time and hands out a table of entry points from
// its loader function "NDIlib_v5_load". Only the slots we call are named; every other slot is kept as a
// placeholder so that the named ones sit where the library puts them. Records are laid out exactly as the
// library reads and writes them.

#include <cstddef>
#include <cstdint>

extern "C" {

using NDIFinder = void*;
using NDIReceiver = void*;

// One source on the network.
struct NDISourceRecord {
    // "MACHINE (Source)", NUL-terminated UTF-8.
    const char* name;
    const char* urlAddress;
};

struct NDIFindSettings {
    bool showLocalSources;
    const char* groups;
    const char* extraIPs;
};

struct NDIReceiverSettings {
    NDISourceRecord source;
    int32_t colorFormat;
    int32_t bandwidth;
    bool allowVideoFields;
    const char* receiverName;
};

struct NDIVideoFrame {
    int32_t xres;
    int32_t yres;
    uint32_t fourCC;
    int32_t frameRateN;
    int32_t frameRateD;
    float pictureAspectRatio;
    int32_t frameFormatType;
    int64_t timecode;
    uint8_t* data;
    // Bytes from one row to the next (for the packed layouts this program asks for).
    int32_t lineStrideInBytes;
    const char* metadata;
    int64_t timestamp;
};

struct NDIFunctionTable {
    bool (*initialize)();
    void* reserved1[1];
    const char* (*version)();
    void* reserved3[2];
    NDIFinder (*findCreateV2)(const NDIFindSettings* settings);
    void (*findDestroy)(NDIFinder finder);
    void* reserved7[16];
    void (*recvDestroy)(NDIReceiver receiver);
    void* reserved24[18];
    bool (*findWaitForSources)(NDIFinder finder, uint32_t timeoutMs);
    const NDISourceRecord* (*findGetCurrentSources)(NDIFinder finder, uint32_t* count);
    void* reserved44[3];
    void (*recvFreeVideoV2)(NDIReceiver receiver, const NDIVideoFrame* frame);
    void* reserved48[36];
    NDIReceiver (*recvCreateV3)(const NDIReceiverSettings* settings);
    void* reserved85[16];
    int32_t (*recvCaptureV3)(NDIReceiver receiver, NDIVideoFrame* video, void* audio, void* metadata,
                             uint32_t timeoutMs);
    void* reserved102[5];
};

using NDILoadFunction = const NDIFunctionTable* (*)();

}  // extern "C"

namespace kelvora::ndi {

// Slot positions in the library's table, one pointer each.
static_assert(offsetof(NDIFunctionTable, version) == 2 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, findCreateV2) == 5 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, findDestroy) == 6 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, recvDestroy) == 23 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, findWaitForSources) == 42 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, findGetCurrentSources) == 43 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, recvFreeVideoV2) == 47 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, recvCreateV3) == 84 * sizeof(void*));
static_assert(offsetof(NDIFunctionTable, recvCaptureV3) == 101 * sizeof(void*));
static_assert(sizeof(NDIFunctionTable) == 107 * sizeof(void*));

// What a capture call returned.
inline constexpr int32_t kFrameTypeNone = 0;
inline constexpr int32_t kFrameTypeVideo = 1;
inline constexpr int32_t kFrameTypeAudio = 2;
inline constexpr int32_t kFrameTypeMetadata = 3;
inline constexpr int32_t kFrameTypeError = 4;
inline constexpr int32_t kFrameTypeStatusChange = 100;

// Receiver settings: UYVY without alpha, BGRA with it; the full-quality stream.
inline constexpr int32_t kColorFormatUYVYOrBGRA = 1;
inline constexpr int32_t kBandwidthHighest = 100;

// A FourCC as the library stores it: the first character in the lowest byte.
constexpr uint32_t fourCC(const char (&code)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(code[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

}  // namespace kelvora::ndi
