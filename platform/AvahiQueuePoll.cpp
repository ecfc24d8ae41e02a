#include "platform/AvahiQueuePoll.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <vector>

// The Avahi headers declare these as opaque types for the poll implementation to define.
struct AvahiWatch {
    kelvora::AvahiQueuePoll* poll = nullptr;
    int fd = -1;
    AvahiWatchEvent wanted{};
    AvahiWatchEvent happened{};
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    bool alive = true;
};

struct AvahiTimeout {
    explicit AvahiTimeout(asio::io_context& context) : timer(context) {}
    kelvora::AvahiQueuePoll* poll = nullptr;
    asio::steady_timer timer;
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    // Each arm gets a number, so that a wait cancelled by an update cannot fire the callback late.
    uint64_t generation = 0;
    bool alive = true;
};

namespace kelvora {

struct AvahiQueuePoll::Descriptor {
    explicit Descriptor(asio::io_context& context, int fd) : stream(context, fd) {}
    asio::posix::stream_descriptor stream;
    std::vector<std::shared_ptr<AvahiWatch>> watches;
    bool readArmed = false;
    bool writeArmed = false;
    bool released = false;
};

namespace {

AvahiQueuePoll* self(const AvahiPoll* api) {
    return static_cast<AvahiQueuePoll*>(api->userdata);
}

void armTimeout(const std::shared_ptr<AvahiTimeout>& timeout, const struct timeval* tv) {
    ++timeout->generation;
    timeout->timer.cancel();
    if (!tv) {
        return;
    }
    // Avahi gives wall-clock deadlines; the wait itself runs on the monotonic clock.
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const int64_t delayUs =
        (static_cast<int64_t>(tv->tv_sec) - now.tv_sec) * 1000000 + (tv->tv_usec - now.tv_usec);
    timeout->timer.expires_after(std::chrono::microseconds(std::max<int64_t>(delayUs, 0)));
    const uint64_t generation = timeout->generation;
    timeout->timer.async_wait([timeout, generation](const std::error_code& error) {
        if (error || !timeout->alive || timeout->generation != generation) {
            return;
        }
        timeout->callback(timeout.get(), timeout->userdata);
    });
}

}  // namespace

AvahiQueuePoll::AvahiQueuePoll(asio::io_context& context) : context_(context) {
    api_.userdata = this;
    api_.watch_new = &AvahiQueuePoll::watchNew;
    api_.watch_update = &AvahiQueuePoll::watchUpdate;
    api_.watch_get_events = &AvahiQueuePoll::watchGetEvents;
    api_.watch_free = &AvahiQueuePoll::watchFree;
    api_.timeout_new = &AvahiQueuePoll::timeoutNew;
    api_.timeout_update = &AvahiQueuePoll::timeoutUpdate;
    api_.timeout_free = &AvahiQueuePoll::timeoutFree;
}

AvahiQueuePoll::~AvahiQueuePoll() {
    for (auto& [raw, timeout] : timeouts_) {
        timeout->alive = false;
        timeout->timer.cancel();
    }
    for (auto& [fd, descriptor] : descriptors_) {
        descriptor->released = true;
        std::error_code ignored;
        descriptor->stream.cancel(ignored);
        descriptor->stream.release();
    }
}

AvahiWatch* AvahiQueuePoll::watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event,
                                     AvahiWatchCallback callback, void* userdata) {
    AvahiQueuePoll* poll = self(api);
    auto watch = std::make_shared<AvahiWatch>();
    watch->poll = poll;
    watch->fd = fd;
    watch->wanted = event;
    watch->callback = callback;
    watch->userdata = userdata;
    auto& descriptor = poll->descriptors_[fd];
    if (!descriptor) {
        descriptor = std::make_shared<Descriptor>(poll->context_, fd);
    }
    descriptor->watches.push_back(watch);
    poll->arm(descriptor);
    return watch.get();
}

void AvahiQueuePoll::watchUpdate(AvahiWatch* watch, AvahiWatchEvent event) {
    watch->wanted = event;
    auto found = watch->poll->descriptors_.find(watch->fd);
    if (found != watch->poll->descriptors_.end()) {
        watch->poll->arm(found->second);
    }
}

AvahiWatchEvent AvahiQueuePoll::watchGetEvents(AvahiWatch* watch) {
    return watch->happened;
}

void AvahiQueuePoll::watchFree(AvahiWatch* watch) {
    AvahiQueuePoll* poll = watch->poll;
    watch->alive = false;
    auto found = poll->descriptors_.find(watch->fd);
    if (found == poll->descriptors_.end()) {
        return;
    }
    auto descriptor = found->second;
    auto& watches = descriptor->watches;
    // Erasing drops the registry's reference; a dispatch in progress still holds its own copy.
    watches.erase(
        std::remove_if(watches.begin(), watches.end(), [watch](const auto& w) { return w.get() == watch; }),
        watches.end());
    if (watches.empty()) {
        descriptor->released = true;
        std::error_code ignored;
        descriptor->stream.cancel(ignored);
        // The descriptor belongs to D-Bus: hand it back without closing it.
        descriptor->stream.release();
        poll->descriptors_.erase(found);
    }
}

void AvahiQueuePoll::arm(const std::shared_ptr<Descriptor>& descriptor) {
    AvahiWatchEvent any{};
    for (const auto& watch : descriptor->watches) {
        any = static_cast<AvahiWatchEvent>(any | watch->wanted);
    }
    if ((any & (AVAHI_WATCH_IN | AVAHI_WATCH_HUP | AVAHI_WATCH_ERR)) && !descriptor->readArmed) {
        descriptor->readArmed = true;
        descriptor->stream.async_wait(asio::posix::stream_descriptor::wait_read,
                                      [this, descriptor](const std::error_code& error) {
                                          descriptor->readArmed = false;
                                          if (error || descriptor->released) {
                                              return;
                                          }
                                          dispatch(descriptor, AVAHI_WATCH_IN);
                                      });
    }
    if ((any & AVAHI_WATCH_OUT) && !descriptor->writeArmed) {
        descriptor->writeArmed = true;
        descriptor->stream.async_wait(asio::posix::stream_descriptor::wait_write,
                                      [this, descriptor](const std::error_code& error) {
                                          descriptor->writeArmed = false;
                                          if (error || descriptor->released) {
                                              return;
                                          }
                                          dispatch(descriptor, AVAHI_WATCH_OUT);
                                      });
    }
}

void AvahiQueuePoll::dispatch(const std::shared_ptr<Descriptor>& descriptor, AvahiWatchEvent event) {
    // A callback may free any watch, this one included, or add new ones: work on a copy.
    const auto watches = descriptor->watches;
    for (const auto& watch : watches) {
        if (!watch->alive || !(watch->wanted & event)) {
            continue;
        }
        watch->happened = event;
        watch->callback(watch.get(), watch->fd, event, watch->userdata);
        watch->happened = AvahiWatchEvent{};
    }
    // `this` is still valid: Avahi frees its objects, and then us, only from its own calls on this thread,
    // never from inside a watch callback of ours.
    if (!descriptor->released) {
        arm(descriptor);
    }
}

AvahiTimeout* AvahiQueuePoll::timeoutNew(const AvahiPoll* api, const struct timeval* tv,
                                         AvahiTimeoutCallback callback, void* userdata) {
    AvahiQueuePoll* poll = self(api);
    auto timeout = std::make_shared<AvahiTimeout>(poll->context_);
    timeout->poll = poll;
    timeout->callback = callback;
    timeout->userdata = userdata;
    poll->timeouts_.emplace(timeout.get(), timeout);
    armTimeout(timeout, tv);
    return timeout.get();
}

void AvahiQueuePoll::timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
    auto& timeouts = timeout->poll->timeouts_;
    if (auto found = timeouts.find(timeout); found != timeouts.end()) {
        armTimeout(found->second, tv);
    }
}

void AvahiQueuePoll::timeoutFree(AvahiTimeout* timeout) {
    timeout->alive = false;
    ++timeout->generation;
    timeout->timer.cancel();
    timeout->poll->timeouts_.erase(timeout);
}

}  // namespace kelvora
