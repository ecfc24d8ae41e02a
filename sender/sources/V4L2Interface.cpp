#include "sender/sources/V4L2Interface.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace kelvora {

namespace {

class SystemV4L2 final : public V4L2Interface {
  public:
    int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags | O_CLOEXEC); }

    int close(int fd) override { return ::close(fd); }

    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }

    void* mmap(size_t length, int protection, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }

    int munmap(void* address, size_t length) override { return ::munmap(address, length); }

    int poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
};

}  // namespace

std::shared_ptr<V4L2Interface> V4L2Interface::system() {
    static const std::shared_ptr<V4L2Interface> instance = std::make_shared<SystemV4L2>();
    return instance;
}

}  // namespace kelvora
