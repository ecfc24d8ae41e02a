#include "sender/sources/NDISourceBrowser.h"

#include "core/Log.h"
#include "platform/Utf8.h"
#include "sender/sources/NameOrder.h"

#include <pthread.h>

#include <algorithm>
#include <optional>
#include <thread>

namespace kelvora {

std::shared_ptr<NDISourceBrowser> NDISourceBrowser::create(std::shared_ptr<const NDIRuntime> runtime,
                                                           std::chrono::milliseconds finderRetryDelay) {
    return std::shared_ptr<NDISourceBrowser>(new NDISourceBrowser(std::move(runtime), finderRetryDelay));
}

NDISourceBrowser::~NDISourceBrowser() = default;

void NDISourceBrowser::start() {
    if (!runtime_->available()) {
        return;
    }
    uint64_t run = 0;
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            return;
        }
        running_ = true;
        run = ++run_;
    }
    std::thread([weak = weak_from_this(), runtime = runtime_, run, delay = finderRetryDelay_] {
        pthread_setname_np(pthread_self(), "NDI-Suche");
        discoveryLoop(weak, runtime, run, delay);
    }).detach();
}

void NDISourceBrowser::stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    stopped_.notify_all();
}

bool NDISourceBrowser::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool NDISourceBrowser::isRunning(uint64_t run) const {
    std::lock_guard lock(mutex_);
    return running_ && run_ == run;
}

bool NDISourceBrowser::waitWhileRunning(uint64_t run, std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, delay, [&] { return !running_ || run_ != run; });
    return running_ && run_ == run;
}

std::vector<NDISourceInfo> NDISourceBrowser::listFrom(const NDISourceRecord* records, uint32_t count) {
    std::vector<NDISourceInfo> list;
    if (records == nullptr) {
        return list;
    }
    for (uint32_t index = 0; index < count; ++index) {
        if (records[index].name != nullptr) {
            // Names come from anyone on the network and become ids that are stored as JSON text: a name
            // that is not UTF-8 is listed repaired, even though the runtime knows no source by that name.
            list.push_back({validUtf8(records[index].name)});
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const NDISourceInfo& left, const NDISourceInfo& right) {
        return localizedStandardLess(left.name, right.name);
    });
    return list;
}

void NDISourceBrowser::discoveryLoop(std::weak_ptr<NDISourceBrowser> weak,
                                     std::shared_ptr<const NDIRuntime> runtime, uint64_t run,
                                     std::chrono::milliseconds retryDelay) {
    const NDIFunctionTable* table = runtime->table();
    if (table == nullptr || weak.expired()) {
        return;
    }
    const NDIFindSettings settings{true, nullptr, nullptr};
    NDIFinder finder = nullptr;
    bool finderFailed = false;
    std::optional<std::vector<NDISourceInfo>> last;

    for (;;) {
        if (finder == nullptr) {
            finder = table->findCreateV2 != nullptr ? table->findCreateV2(&settings) : nullptr;
            if (finder == nullptr) {
                // Often the network is not up yet (early in a session): keep trying rather than leave NDI
                // without sources until the program restarts.
                if (!finderFailed) {
                    Log::capture().error("NDI-Suche kann nicht gestartet werden – neuer Versuch alle {} s",
                                         std::chrono::duration<double>(retryDelay).count());
                    finderFailed = true;
                }
                auto self = weak.lock();
                if (!self || !self->waitWhileRunning(run, retryDelay)) {
                    return;
                }
                continue;
            }
            if (finderFailed) {
                Log::capture().info("NDI-Suche läuft");
                finderFailed = false;
            }
        }
        if (auto self = weak.lock(); !self || !self->isRunning(run)) {
            break;
        }
        if (table->findWaitForSources != nullptr) {
            table->findWaitForSources(finder, 1000);
        } else if (auto self = weak.lock(); !self || !self->waitWhileRunning(run, std::chrono::seconds(1))) {
            break;
        }
        uint32_t count = 0;
        const NDISourceRecord* records =
            table->findGetCurrentSources != nullptr ? table->findGetCurrentSources(finder, &count) : nullptr;
        auto self = weak.lock();
        if (!self) {
            break;
        }
        if (records != nullptr) {
            std::vector<NDISourceInfo> list = listFrom(records, count);
            if (!last || *last != list) {
                self->onChange_(list);
                last = std::move(list);
            }
        }
        if (!self->isRunning(run)) {
            break;
        }
    }
    if (table->findDestroy != nullptr) {
        table->findDestroy(finder);
    }
}

}  // namespace kelvora
