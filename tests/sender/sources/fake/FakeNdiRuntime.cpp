// A stand-in for the NDI runtime library, built as a shared library so that the runtime loader, the
// source browser and the video source meet it exactly as they would meet libndi: through dlopen,
// "NDIlib_v5_load" and the function table.

#include "sender/sources/NDIFunctionTable.h"
#include "sender/sources/fake/FakeNdiControl.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

struct QueuedResult {
    int32_t type = 0;
    NDIVideoFrame frame{};
    std::vector<uint8_t> pixels;
};

struct Finder {
    std::vector<std::string> names;
    std::vector<bool> present;
    std::vector<NDISourceRecord> records;
};

struct Receiver {
    // The pixels of the frame handed out last, until it is freed.
    std::vector<std::vector<uint8_t>> outstanding;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;

    bool initializeResult = true;
    std::optional<std::string> version = std::string("6.0.0-fake");

    std::vector<std::optional<std::string>> sources;
    bool noArray = false;
    uint64_t generation = 0;
    uint64_t servedGeneration = 0;
    bool served = false;
    int failFinders = 0;
    int finderAttempts = 0;
    int findersAlive = 0;

    bool refuseReceivers = false;
    std::deque<QueuedResult> queue;
    int receiversCreated = 0;
    int receiversAlive = 0;
    int framesHandedOut = 0;
    int framesFreed = 0;
    std::string lastSource;
    std::string lastReceiverName;
    int32_t lastColorFormat = -1;
    int32_t lastBandwidth = -1;
    bool lastAllowFields = true;
};

State& state() {
    static State instance;
    return instance;
}

template <typename Condition>
bool waitFor(int timeoutMs, Condition condition) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(s); });
}

bool initialize() {
    std::lock_guard lock(state().mutex);
    return state().initializeResult;
}

const char* version() {
    static std::string text;
    std::lock_guard lock(state().mutex);
    if (!state().version) {
        return nullptr;
    }
    text = *state().version;
    return text.c_str();
}

NDIFinder findCreate(const NDIFindSettings* settings) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    ++s.finderAttempts;
    if (settings == nullptr || !settings->showLocalSources || s.failFinders > 0) {
        if (s.failFinders > 0) {
            --s.failFinders;
        }
        s.changed.notify_all();
        return nullptr;
    }
    ++s.findersAlive;
    s.changed.notify_all();
    return new Finder;
}

void findDestroy(NDIFinder finder) {
    State& s = state();
    delete static_cast<Finder*>(finder);
    std::lock_guard lock(s.mutex);
    --s.findersAlive;
    s.changed.notify_all();
}

bool findWait(NDIFinder, uint32_t timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    const uint64_t seen = s.servedGeneration;
    // Returns early when the list changes, as the real runtime does when sources come or go.
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.generation != seen; });
}

const NDISourceRecord* findCurrent(NDIFinder handle, uint32_t* count) {
    State& s = state();
    auto* finder = static_cast<Finder*>(handle);
    std::lock_guard lock(s.mutex);
    s.servedGeneration = s.generation;
    s.served = true;
    s.changed.notify_all();
    *count = 0;
    if (s.noArray) {
        return nullptr;
    }
    finder->names.clear();
    finder->present.clear();
    finder->records.clear();
    for (const auto& name : s.sources) {
        finder->names.push_back(name.value_or(""));
        finder->present.push_back(name.has_value());
    }
    for (size_t index = 0; index < finder->names.size(); ++index) {
        finder->records.push_back({finder->present[index] ? finder->names[index].c_str() : nullptr, nullptr});
    }
    *count = static_cast<uint32_t>(finder->records.size());
    // An empty list is still an array.
    static const NDISourceRecord none{nullptr, nullptr};
    return finder->records.empty() ? &none : finder->records.data();
}

NDIReceiver recvCreate(const NDIReceiverSettings* settings) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.lastSource = settings->source.name != nullptr ? settings->source.name : "";
    s.lastReceiverName = settings->receiverName != nullptr ? settings->receiverName : "";
    s.lastColorFormat = settings->colorFormat;
    s.lastBandwidth = settings->bandwidth;
    s.lastAllowFields = settings->allowVideoFields;
    if (s.refuseReceivers) {
        return nullptr;
    }
    ++s.receiversCreated;
    ++s.receiversAlive;
    s.changed.notify_all();
    return new Receiver;
}

void recvDestroy(NDIReceiver receiver) {
    State& s = state();
    delete static_cast<Receiver*>(receiver);
    std::lock_guard lock(s.mutex);
    --s.receiversAlive;
    s.changed.notify_all();
}

int32_t recvCapture(NDIReceiver handle, NDIVideoFrame* video, void*, void*, uint32_t timeoutMs) {
    State& s = state();
    auto* receiver = static_cast<Receiver*>(handle);
    std::unique_lock lock(s.mutex);
    if (!s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !s.queue.empty(); })) {
        return kelvora::ndi::kFrameTypeNone;
    }
    QueuedResult result = std::move(s.queue.front());
    s.queue.pop_front();
    s.changed.notify_all();
    if (result.type == kelvora::ndi::kFrameTypeVideo && video != nullptr) {
        receiver->outstanding.push_back(std::move(result.pixels));
        *video = result.frame;
        video->data = receiver->outstanding.back().data();
        ++s.framesHandedOut;
    }
    return result.type;
}

void recvFreeVideo(NDIReceiver handle, const NDIVideoFrame* frame) {
    State& s = state();
    auto* receiver = static_cast<Receiver*>(handle);
    std::lock_guard lock(s.mutex);
    for (auto it = receiver->outstanding.begin(); it != receiver->outstanding.end(); ++it) {
        if (it->data() == frame->data) {
            receiver->outstanding.erase(it);
            ++s.framesFreed;
            s.changed.notify_all();
            return;
        }
    }
}

NDIFunctionTable makeTable() {
    NDIFunctionTable table{};
    table.initialize = &initialize;
    table.version = &version;
    table.findCreateV2 = &findCreate;
    table.findDestroy = &findDestroy;
    table.findWaitForSources = &findWait;
    table.findGetCurrentSources = &findCurrent;
    table.recvCreateV3 = &recvCreate;
    table.recvDestroy = &recvDestroy;
    table.recvCaptureV3 = &recvCapture;
    table.recvFreeVideoV2 = &recvFreeVideo;
    return table;
}

void newGeneration(State& s) {
    ++s.generation;
    s.changed.notify_all();
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const NDIFunctionTable* NDIlib_v5_load() {
    static const NDIFunctionTable table = makeTable();
    return &table;
}

void fakeNdiReset() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.initializeResult = true;
    s.version = std::string("6.0.0-fake");
    s.sources.clear();
    s.noArray = false;
    s.served = false;
    s.failFinders = 0;
    s.finderAttempts = 0;
    s.refuseReceivers = false;
    s.queue.clear();
    s.receiversCreated = 0;
    s.framesHandedOut = 0;
    s.framesFreed = 0;
    newGeneration(s);
}

void fakeNdiSetInitializeResult(bool result) {
    std::lock_guard lock(state().mutex);
    state().initializeResult = result;
}

void fakeNdiSetVersion(const char* version) {
    std::lock_guard lock(state().mutex);
    state().version = version != nullptr ? std::optional<std::string>(version) : std::nullopt;
}

void fakeNdiSetSources(const char* const* names, int count) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.noArray = false;
    s.sources.clear();
    for (int index = 0; index < count; ++index) {
        s.sources.push_back(names[index] != nullptr ? std::optional<std::string>(names[index])
                                                    : std::nullopt);
    }
    newGeneration(s);
}

void fakeNdiSetNoSourceArray() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.noArray = true;
    newGeneration(s);
}

uint64_t fakeNdiSourcesGeneration() {
    std::lock_guard lock(state().mutex);
    return state().generation;
}

bool fakeNdiWaitSourcesServed(uint64_t generation, int timeoutMs) {
    return waitFor(timeoutMs,
                   [generation](State& s) { return s.served && s.servedGeneration >= generation; });
}

void fakeNdiFailFinderCreations(int count) {
    std::lock_guard lock(state().mutex);
    state().failFinders = count;
}

int fakeNdiFinderCreateAttempts() {
    std::lock_guard lock(state().mutex);
    return state().finderAttempts;
}

int fakeNdiFindersAlive() {
    std::lock_guard lock(state().mutex);
    return state().findersAlive;
}

bool fakeNdiWaitFindersAlive(int count, int timeoutMs) {
    return waitFor(timeoutMs, [count](State& s) { return s.findersAlive == count; });
}

void fakeNdiRefuseReceivers(bool refuse) {
    std::lock_guard lock(state().mutex);
    state().refuseReceivers = refuse;
}

void fakeNdiQueueVideoFrame(uint32_t fourCC, int xres, int yres, int lineStride, const uint8_t* data,
                            size_t size) {
    State& s = state();
    QueuedResult result;
    result.type = kelvora::ndi::kFrameTypeVideo;
    result.frame.xres = xres;
    result.frame.yres = yres;
    result.frame.fourCC = fourCC;
    result.frame.frameRateN = 30000;
    result.frame.frameRateD = 1001;
    result.frame.lineStrideInBytes = lineStride;
    result.pixels.assign(data, data + size);
    std::lock_guard lock(s.mutex);
    s.queue.push_back(std::move(result));
    s.changed.notify_all();
}

void fakeNdiQueueOther(int32_t frameType) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    QueuedResult result;
    result.type = frameType;
    s.queue.push_back(std::move(result));
    s.changed.notify_all();
}

void fakeNdiQueueError() {
    fakeNdiQueueOther(kelvora::ndi::kFrameTypeError);
}

bool fakeNdiWaitQueueEmpty(int timeoutMs) {
    return waitFor(timeoutMs, [](State& s) { return s.queue.empty(); });
}

int fakeNdiReceiversCreated() {
    std::lock_guard lock(state().mutex);
    return state().receiversCreated;
}

int fakeNdiReceiversAlive() {
    std::lock_guard lock(state().mutex);
    return state().receiversAlive;
}

bool fakeNdiWaitReceiversAlive(int count, int timeoutMs) {
    return waitFor(timeoutMs, [count](State& s) { return s.receiversAlive == count; });
}

int fakeNdiFramesHandedOut() {
    std::lock_guard lock(state().mutex);
    return state().framesHandedOut;
}

int fakeNdiFramesFreed() {
    std::lock_guard lock(state().mutex);
    return state().framesFreed;
}

const char* fakeNdiLastSourceName() {
    std::lock_guard lock(state().mutex);
    return state().lastSource.c_str();
}

const char* fakeNdiLastReceiverName() {
    std::lock_guard lock(state().mutex);
    return state().lastReceiverName.c_str();
}

int32_t fakeNdiLastColorFormat() {
    std::lock_guard lock(state().mutex);
    return state().lastColorFormat;
}

int32_t fakeNdiLastBandwidth() {
    std::lock_guard lock(state().mutex);
    return state().lastBandwidth;
}

bool fakeNdiLastAllowVideoFields() {
    std::lock_guard lock(state().mutex);
    return state().lastAllowFields;
}

}  // extern "C"
