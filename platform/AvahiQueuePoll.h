#pragma once

#include <avahi-common/watch.h>

#include <asio/io_context.hpp>

#include <memory>
#include <unordered_map>

namespace kelvora {

// Runs the Avahi client library's event loop on an Asio io_context, normally a SerialQueue's: every Avahi
// callback (client state, entry group, browser, resolver) then runs on that queue and needs no lock.
//
// Must be used, and destroyed, on the io_context's thread only, after every Avahi object made with it has
// been freed.
class AvahiQueuePoll {
  public:
    explicit AvahiQueuePoll(asio::io_context& context);
    ~AvahiQueuePoll();
    AvahiQueuePoll(const AvahiQueuePoll&) = delete;
    AvahiQueuePoll& operator=(const AvahiQueuePoll&) = delete;

    const AvahiPoll* api() const { return &api_; }

    struct Descriptor;

  private:
    static AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event,
                                AvahiWatchCallback callback, void* userdata);
    static void watchUpdate(AvahiWatch* watch, AvahiWatchEvent event);
    static AvahiWatchEvent watchGetEvents(AvahiWatch* watch);
    static void watchFree(AvahiWatch* watch);
    static AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv,
                                    AvahiTimeoutCallback callback, void* userdata);
    static void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv);
    static void timeoutFree(AvahiTimeout* timeout);

    void arm(const std::shared_ptr<Descriptor>& descriptor);
    void dispatch(const std::shared_ptr<Descriptor>& descriptor, AvahiWatchEvent event);

    asio::io_context& context_;
    AvahiPoll api_{};
    // D-Bus watches one socket twice (reading and writing), and an epoll reactor takes each descriptor once,
    // so the watches of one descriptor share one registration.
    std::unordered_map<int, std::shared_ptr<Descriptor>> descriptors_;
    // Avahi holds raw pointers; the registry and any pending wait hold shared ones.
    std::unordered_map<AvahiTimeout*, std::shared_ptr<AvahiTimeout>> timeouts_;
};

}  // namespace kelvora
