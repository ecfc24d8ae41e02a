#pragma once

// Control of the stand-in NDI runtime that the tests load in place of libndi: it serves scripted source
// lists and capture results through the same function table, and counts what the code under test did.

#include <cstddef>
#include <cstdint>

extern "C" {

struct FakeNdiStats {
    // Grows with every change below, so that a test can wait for the next one.
    uint64_t version;
    // The source list set last, and the last one a listing call handed out.
    uint64_t sourcesGeneration;
    uint64_t servedGeneration;
    int finderAttempts;
    int findersAlive;
    int receiversCreated;
    int receiversAlive;
    int framesHandedOut;
    int framesFreed;
    // What the last receiver was asked for.
    char lastSourceName[128];
    char lastReceiverName[64];
    int32_t lastColorFormat;
    int32_t lastBandwidth;
    bool lastAllowVideoFields;
};

// Back to the start: initialises, version "6.0.0-fake", no sources, nothing queued, counters at zero.
void fakeNdiReset();
void fakeNdiSetInitializeResult(bool result);
// Null makes the version entry return null.
void fakeNdiSetVersion(const char* version);
// `names` may hold null entries (a record without a name); a negative count makes the listing call return
// no array at all. Either starts a new generation.
void fakeNdiSetSources(const char* const* names, int count);
// The next `count` finder creations fail.
void fakeNdiFailFinderCreations(int count);
void fakeNdiRefuseReceivers(bool refuse);
// One capture result for whichever receiver captures next: a picture (type 1, with its bytes copied),
// or another type (audio, status change, the error of a lost connection) without data.
void fakeNdiQueue(int32_t type, uint32_t fourCC, int xres, int yres, int lineStride, const uint8_t* data,
                  size_t size);

FakeNdiStats fakeNdiStats();
// Returns once `version` is out of date, or false after the time is up.
bool fakeNdiWaitForChange(uint64_t version, int timeoutMs);
}
