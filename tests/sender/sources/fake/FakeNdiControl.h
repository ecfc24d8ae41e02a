#pragma once

// Control of the stand-in NDI runtime that the tests load in place of libndi: it serves scripted source
// lists and frames through the same function table, and counts what the code under test did with it.

#include <cstddef>
#include <cstdint>

extern "C" {

// Back to the start: initialises, no sources, nothing queued, counters at zero.
void fakeNdiReset();
void fakeNdiSetInitializeResult(bool result);
// Null makes the version entry return null.
void fakeNdiSetVersion(const char* version);

// Discovery. `names` may hold null entries (a record without a name). Each call starts a new generation.
void fakeNdiSetSources(const char* const* names, int count);
// The listing call returns no array at all (a new generation too).
void fakeNdiSetNoSourceArray();
uint64_t fakeNdiSourcesGeneration();
// Waits until a listing of `generation` (or a later one) has been handed out.
bool fakeNdiWaitSourcesServed(uint64_t generation, int timeoutMs);
// The next `count` finder creations fail.
void fakeNdiFailFinderCreations(int count);
int fakeNdiFinderCreateAttempts();
int fakeNdiFindersAlive();
bool fakeNdiWaitFindersAlive(int count, int timeoutMs);

// Receiving. Frames and other results are handed out in order to whichever receiver captures next.
void fakeNdiRefuseReceivers(bool refuse);
void fakeNdiQueueVideoFrame(uint32_t fourCC, int xres, int yres, int lineStride, const uint8_t* data,
                            size_t size);
// A capture result that is not a picture (audio, metadata, status change).
void fakeNdiQueueOther(int32_t frameType);
// The connection breaks.
void fakeNdiQueueError();
bool fakeNdiWaitQueueEmpty(int timeoutMs);
int fakeNdiReceiversCreated();
int fakeNdiReceiversAlive();
bool fakeNdiWaitReceiversAlive(int count, int timeoutMs);
int fakeNdiFramesHandedOut();
int fakeNdiFramesFreed();

// What the last receiver was created with.
const char* fakeNdiLastSourceName();
const char* fakeNdiLastReceiverName();
int32_t fakeNdiLastColorFormat();
int32_t fakeNdiLastBandwidth();
bool fakeNdiLastAllowVideoFields();
}
