// A stand-in for the NDI runtime library, built as a shared library so that the runtime loader, the
// source browser and the video source meet it exactly as they would meet libndi: through dlopen,
// "NDIlib_v5_load" and the function table.

#include "sender/sources/NDIFunctionTable.h"
#include "sender/sources/fake/FakeNdiControl.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace ndi = kelvora::ndi;

struct Result {
    int32_t type = 0;
    NDIVideoFrame frame{};
    std::vector<uint8_t> pixels;
};

// A finder keeps the records it handed out alive until its next listing, as the runtime does.
struct Finder {
    std::vector<std::string> names;
    std::vector<NDISourceRecord> records;
};

struct Receiver {
    std::list<std::vector<uint8_t>> outstanding;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    FakeNdiStats stats{};
    bool initializeResult = true;
    std::optional<std::string> version;
    std::vector<std::optional<std::string>> sources;
    bool noArray = false;
    int failFinders = 0;
    bool refuseReceivers = false;
    std::deque<Result> queue;

    void touch() {
        ++stats.version;
        changed.notify_all();
    }
};

State& state() {
    static State instance;
    return instance;
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
    ++s.stats.finderAttempts;
    s.touch();
    if (s.failFinders > 0 || settings == nullptr || !settings->showLocalSources) {
        s.failFinders = std::max(s.failFinders - 1, 0);
        return nullptr;
    }
    ++s.stats.findersAlive;
    return new Finder;
}

void findDestroy(NDIFinder finder) {
    delete static_cast<Finder*>(finder);
    std::lock_guard lock(state().mutex);
    --state().stats.findersAlive;
    state().touch();
}

bool findWait(NDIFinder, uint32_t timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    // Returns early when the sources change, as the runtime does when one comes or goes.
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.stats.sourcesGeneration != s.stats.servedGeneration; });
}

const NDISourceRecord* findCurrent(NDIFinder handle, uint32_t* count) {
    State& s = state();
    auto* finder = static_cast<Finder*>(handle);
    std::lock_guard lock(s.mutex);
    s.stats.servedGeneration = s.stats.sourcesGeneration;
    s.touch();
    *count = 0;
    if (s.noArray) {
        return nullptr;
    }
    finder->names.clear();
    finder->records.clear();
    for (const auto& name : s.sources) {
        finder->names.push_back(name.value_or(""));
    }
    for (size_t index = 0; index < s.sources.size(); ++index) {
        finder->records.push_back({s.sources[index] ? finder->names[index].c_str() : nullptr, nullptr});
    }
    *count = static_cast<uint32_t>(finder->records.size());
    // An empty list is still an array.
    static const NDISourceRecord none{nullptr, nullptr};
    return finder->records.empty() ? &none : finder->records.data();
}

NDIReceiver recvCreate(const NDIReceiverSettings* settings) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::strncpy(s.stats.lastSourceName, settings->source.name ? settings->source.name : "",
                 sizeof s.stats.lastSourceName - 1);
    std::strncpy(s.stats.lastReceiverName, settings->receiverName ? settings->receiverName : "",
                 sizeof s.stats.lastReceiverName - 1);
    s.stats.lastColorFormat = settings->colorFormat;
    s.stats.lastBandwidth = settings->bandwidth;
    s.stats.lastAllowVideoFields = settings->allowVideoFields;
    s.touch();
    if (s.refuseReceivers) {
        return nullptr;
    }
    ++s.stats.receiversCreated;
    ++s.stats.receiversAlive;
    return new Receiver;
}

void recvDestroy(NDIReceiver receiver) {
    delete static_cast<Receiver*>(receiver);
    std::lock_guard lock(state().mutex);
    --state().stats.receiversAlive;
    state().touch();
}

int32_t recvCapture(NDIReceiver handle, NDIVideoFrame* video, void*, void*, uint32_t timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !s.queue.empty(); })) {
        return ndi::kFrameTypeNone;
    }
    Result result = std::move(s.queue.front());
    s.queue.pop_front();
    if (result.type == ndi::kFrameTypeVideo) {
        auto& outstanding = static_cast<Receiver*>(handle)->outstanding;
        outstanding.push_back(std::move(result.pixels));
        *video = result.frame;
        video->data = outstanding.back().empty() ? nullptr : outstanding.back().data();
        ++s.stats.framesHandedOut;
    }
    s.touch();
    return result.type;
}

void recvFreeVideo(NDIReceiver handle, const NDIVideoFrame* frame) {
    auto& outstanding = static_cast<Receiver*>(handle)->outstanding;
    std::lock_guard lock(state().mutex);
    for (auto it = outstanding.begin(); it != outstanding.end(); ++it) {
        if ((it->empty() ? nullptr : it->data()) == frame->data) {
            outstanding.erase(it);
            ++state().stats.framesFreed;
            state().touch();
            return;
        }
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const NDIFunctionTable* NDIlib_v5_load() {
    static const NDIFunctionTable table = [] {
        NDIFunctionTable made{};
        made.initialize = &initialize;
        made.version = &version;
        made.findCreateV2 = &findCreate;
        made.findDestroy = &findDestroy;
        made.findWaitForSources = &findWait;
        made.findGetCurrentSources = &findCurrent;
        made.recvCreateV3 = &recvCreate;
        made.recvDestroy = &recvDestroy;
        made.recvCaptureV3 = &recvCapture;
        made.recvFreeVideoV2 = &recvFreeVideo;
        return made;
    }();
    return &table;
}

void fakeNdiReset() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const FakeNdiStats kept = s.stats;
    s.stats = {};
    // Objects still alive from an earlier test stay counted; the rest starts at zero.
    s.stats.version = kept.version;
    s.stats.sourcesGeneration = kept.sourcesGeneration + 1;
    s.stats.findersAlive = kept.findersAlive;
    s.stats.receiversAlive = kept.receiversAlive;
    s.initializeResult = true;
    s.version = "6.0.0-fake";
    s.sources.clear();
    s.noArray = false;
    s.failFinders = 0;
    s.refuseReceivers = false;
    s.queue.clear();
    s.touch();
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
    s.noArray = count < 0;
    s.sources.clear();
    for (int index = 0; index < count; ++index) {
        s.sources.push_back(names[index] != nullptr ? std::optional<std::string>(names[index])
                                                    : std::nullopt);
    }
    ++s.stats.sourcesGeneration;
    s.touch();
}

void fakeNdiFailFinderCreations(int count) {
    std::lock_guard lock(state().mutex);
    state().failFinders = count;
}

void fakeNdiRefuseReceivers(bool refuse) {
    std::lock_guard lock(state().mutex);
    state().refuseReceivers = refuse;
}

void fakeNdiQueue(int32_t type, uint32_t fourCC, int xres, int yres, int lineStride, const uint8_t* data,
                  size_t size) {
    Result result;
    result.type = type;
    result.frame.xres = xres;
    result.frame.yres = yres;
    result.frame.fourCC = fourCC;
    result.frame.lineStrideInBytes = lineStride;
    if (data != nullptr) {
        result.pixels.assign(data, data + size);
    }
    std::lock_guard lock(state().mutex);
    state().queue.push_back(std::move(result));
    state().touch();
}

FakeNdiStats fakeNdiStats() {
    std::lock_guard lock(state().mutex);
    return state().stats;
}

bool fakeNdiWaitForChange(uint64_t version, int timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.stats.version != version; });
}

}  // extern "C"
