#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace kelvora {

// The handful of system calls through which capture talks to a V4L2 device. The system's implementation
// passes them straight on; tests put a scripted device behind the same calls (formats, frames, a device
// that vanishes). Every call behaves like the system call of the same name: -1 (or MAP_FAILED) with
// `errno` set on failure.
class V4L2Interface {
  public:
    virtual ~V4L2Interface() = default;

    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Retries by itself when interrupted by a signal.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    // May mix device descriptors with the caller's own (a wake-up eventfd).
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;

    // The real devices.
    static std::shared_ptr<V4L2Interface> system();
};

}  // namespace kelvora
