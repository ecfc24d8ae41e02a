#include "receiver/session/PlaybackEngineRegistry.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "receiver/session/NativeQUICPlaybackEngine.h"
#include "receiver/session/NativeTCPPlaybackEngine.h"

namespace kelvora {

namespace {

struct Entry {
    EngineKind kind;
    PlaybackEngineRegistry::Factory factory;
};

struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;
};

// The built-in engines, in the order a viewer is offered them.
std::vector<Entry> builtInEngines() {
    std::vector<Entry> entries;
    entries.push_back({EngineKind::tcp(), [] { return std::make_shared<NativeTCPPlaybackEngine>(); }});
    entries.push_back({EngineKind::quic(), [] { return std::make_shared<NativeQUICPlaybackEngine>(); }});
    return entries;
}

Registry& registry() {
    static Registry* instance = new Registry{{}, builtInEngines()};
    return *instance;
}

}  // namespace

void PlaybackEngineRegistry::registerEngine(EngineKind kind, Factory factory) {
    Registry& shared = registry();
    std::lock_guard lock(shared.mutex);
    std::erase_if(shared.entries, [&](const Entry& entry) { return entry.kind == kind; });
    shared.entries.push_back({std::move(kind), std::move(factory)});
}

std::vector<EngineKind> PlaybackEngineRegistry::availableKinds() {
    Registry& shared = registry();
    std::lock_guard lock(shared.mutex);
    std::vector<EngineKind> kinds;
    kinds.reserve(shared.entries.size());
    for (const Entry& entry : shared.entries) {
        kinds.push_back(entry.kind);
    }
    return kinds;
}

std::shared_ptr<PlaybackEngine> PlaybackEngineRegistry::makeEngine(const EngineKind& kind) {
    Factory factory;
    {
        Registry& shared = registry();
        std::lock_guard lock(shared.mutex);
        auto found = std::find_if(shared.entries.begin(), shared.entries.end(),
                                  [&](const Entry& entry) { return entry.kind == kind; });
        if (found == shared.entries.end()) {
            return nullptr;
        }
        factory = found->factory;
    }
    return factory();
}

}  // namespace kelvora
