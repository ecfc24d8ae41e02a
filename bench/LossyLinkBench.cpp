// Both media engines over one lossy link: the headless sender (kelvora-sender, test picture 1920×1080 at
// 30 fps) in one network namespace, a viewer (a receiver session with its default playout smoothing) in
// another, and between them a link made here: a TUN device in each namespace, every IP packet dropped with
// the given probability or else handed to the other side after the given one-way delay. The kernel needs no
// netem for it, but the program needs root (CAP_NET_ADMIN and CAP_SYS_ADMIN) to make namespaces and TUN
// devices; without them it says so and exits with 77 (skipped).
//
// For every loss rate, run and engine (QUIC first, then TCP, each with a fresh link and a fresh sender) it
// prints one row:
//   tier0_s      seconds from the viewer's start to its first picture of the main tier, "–" when none came
//   tier0_share  share of the pictures after that one that were main-tier pictures
//   median_ms, p95_ms  capture to display of every picture shown (read from its time-code strip; both
//                namespaces share the monotonic clock)
//   gaps         intervals between two shown pictures longer than 100 ms
//   pictures     pictures shown
//
//     sudo build/bench/LossyLinkBench [--loss 0,2,5] [--delay-ms 20] [--seconds 30] [--runs 3]
//
// Not part of the test suite: a run takes (seconds + a few) per row, and the figures depend on the machine.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/ReceiverSession.h"

namespace {

using namespace kelvora;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kSkipped = 77;
constexpr const char* kSenderAddress = "10.77.0.1";
constexpr const char* kViewerAddress = "10.77.0.2";
constexpr uint16_t kControlPort = 47810;
constexpr int kMainWidth = 1920;
constexpr double kGapMs = 100;

struct Options {
    std::vector<double> lossPercents{2};
    double delayMs = 20;
    int seconds = 30;
    int runs = 1;
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: LossyLinkBench [--loss PCT[,PCT...]] [--delay-ms MS] [--seconds N] [--runs N]\n");
    std::exit(2);
}

double number(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || value < 0) {
        usage();
    }
    return value;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
        if (option == "--loss") {
            options.lossPercents.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                options.lossPercents.push_back(number(item.c_str()));
            }
        } else if (option == "--delay-ms") {
            options.delayMs = number(value);
        } else if (option == "--seconds") {
            options.seconds = std::max(5, static_cast<int>(number(value)));
        } else if (option == "--runs") {
            options.runs = std::max(1, static_cast<int>(number(value)));
        } else {
            usage();
        }
    }
    return options;
}

class SystemError : public std::runtime_error {
  public:
    explicit SystemError(const std::string& what) : std::runtime_error(what + ": " + std::strerror(errno)) {}
};

// A file descriptor closed with its owner.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

void configureInterface(const char* name, const char* address, bool withAddress) {
    Descriptor control(::socket(AF_INET, SOCK_DGRAM, 0));
    if (control.get() < 0) {
        throw SystemError("socket");
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (withAddress) {
        auto* inet = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
        inet->sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &inet->sin_addr);
        if (::ioctl(control.get(), SIOCSIFADDR, &request) != 0) {
            throw SystemError(std::string("address of ") + name);
        }
        ::inet_pton(AF_INET, "255.255.255.0", &inet->sin_addr);
        if (::ioctl(control.get(), SIOCSIFNETMASK, &request) != 0) {
            throw SystemError(std::string("netmask of ") + name);
        }
    }
    if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
        throw SystemError(std::string("flags of ") + name);
    }
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
        throw SystemError(std::string("bringing up ") + name);
    }
}

// One end of the link: a fresh network namespace with its loopback and a TUN device at `address`/24.
struct LinkEnd {
    Descriptor namespaceFd;
    Descriptor tun;
};

LinkEnd makeEnd(const char* name, const char* address) {
    Descriptor home(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (home.get() < 0) {
        throw SystemError("own network namespace");
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        throw SystemError("new network namespace");
    }
    LinkEnd end;
    try {
        end.namespaceFd = Descriptor(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        end.tun = Descriptor(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
        if (end.tun.get() < 0) {
            throw SystemError("/dev/net/tun");
        }
        ifreq request{};
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        if (::ioctl(end.tun.get(), TUNSETIFF, &request) != 0) {
            throw SystemError(std::string("TUN device ") + name);
        }
        configureInterface("lo", nullptr, false);
        configureInterface(name, address, true);
    } catch (...) {
        ::setns(home.get(), CLONE_NEWNET);
        throw;
    }
    if (::setns(home.get(), CLONE_NEWNET) != 0) {
        throw SystemError("back to the own network namespace");
    }
    return end;
}

// Carries packets between the two TUN devices: each one is lost with probability `loss` or delivered
// `delay` later, in order.
class Link {
  public:
    Link(int a, int b, double lossPercent, double delayMs)
        : a_(a), b_(b), loss_(lossPercent / 100), delay_(std::chrono::microseconds(int64_t(delayMs * 1000))) {
        reader_ = std::thread([this] { read(); });
        writer_ = std::thread([this] { write(); });
    }
    ~Link() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        reader_.join();
        writer_.join();
    }

  private:
    struct Packet {
        std::chrono::steady_clock::time_point due;
        int to;
        std::vector<uint8_t> bytes;
    };

    void read() {
        std::mt19937_64 random(std::random_device{}());
        std::uniform_real_distribution<double> draw(0, 1);
        std::vector<uint8_t> buffer(65536);
        pollfd fds[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    return;
                }
            }
            if (::poll(fds, 2, 100) <= 0) {
                continue;
            }
            for (const pollfd& fd : fds) {
                if ((fd.revents & POLLIN) == 0) {
                    continue;
                }
                for (;;) {
                    const ssize_t length = ::read(fd.fd, buffer.data(), buffer.size());
                    if (length <= 0) {
                        break;
                    }
                    if (draw(random) < loss_) {
                        continue;
                    }
                    std::lock_guard lock(mutex_);
                    queue_.push_back({std::chrono::steady_clock::now() + delay_, fd.fd == a_ ? b_ : a_,
                                      std::vector<uint8_t>(buffer.begin(), buffer.begin() + length)});
                }
            }
            wake_.notify_all();
        }
    }

    void write() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() < queue_.front().due) {
                wake_.wait_until(lock, queue_.front().due);
                continue;
            }
            Packet packet = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            // A full device queue loses the packet, as a full router queue would.
            [[maybe_unused]] const ssize_t written =
                ::write(packet.to, packet.bytes.data(), packet.bytes.size());
            lock.lock();
        }
    }

    int a_;
    int b_;
    double loss_;
    std::chrono::microseconds delay_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Packet> queue_;  // one delay for all: due times rise with the queue
    bool stopping_ = false;
    std::thread reader_;
    std::thread writer_;
};

// What the viewer saw, sent back from its process.
struct ViewerFigures {
    double tier0Seconds = -1;
    double tier0Share = 0;
    double medianMs = -1;
    double p95Ms = -1;
    int gaps = 0;
    int pictures = 0;
    bool connected = false;
};

// Runs in the viewer's process, inside its namespace.
ViewerFigures watch(EngineKind engine, int seconds) {
    struct Seen {
        std::mutex mutex;
        std::optional<uint64_t> firstMain;
        int mainAfter = 0;
        int allAfter = 0;
        std::optional<uint64_t> lastPicture;
        int gaps = 0;
        int pictures = 0;
        std::vector<double> latencies;
    } seen;
    const uint64_t start = MonotonicClock::now();
    auto session = ReceiverSession::create(engine, NetworkEndpoint::hostPort(kSenderAddress, kControlPort),
                                           ReceiverIdentity{"lossy-link-bench", "Messung", "Linux"});
    session->frameOutput.set([&seen](PixelBuffer picture) {
        const uint64_t now = MonotonicClock::now();
        const auto capture = TestPatternTimecode::read(picture);
        std::lock_guard lock(seen.mutex);
        ++seen.pictures;
        if (seen.lastPicture && MonotonicClock::milliseconds(*seen.lastPicture, now) > kGapMs) {
            ++seen.gaps;
        }
        seen.lastPicture = now;
        const bool main = picture.width() == kMainWidth;
        if (main && !seen.firstMain) {
            seen.firstMain = now;
        }
        if (seen.firstMain) {
            ++seen.allAfter;
            seen.mainAfter += main ? 1 : 0;
        }
        if (capture) {
            const double latency = MonotonicClock::milliseconds(*capture, now);
            if (latency >= 0 && latency < 10000) {
                seen.latencies.push_back(latency);
            }
        }
    });
    std::atomic<bool> connected{false};
    session->setEventHandler([&connected](const ReceiverSession::Event& event) {
        if (std::holds_alternative<ReceiverSession::Connected>(event)) {
            connected = true;
        }
    });
    session->start();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    session->stop();
    session->queue().sync([] {});
    session.reset();

    ViewerFigures figures;
    std::lock_guard lock(seen.mutex);
    figures.connected = connected;
    figures.pictures = seen.pictures;
    figures.gaps = seen.gaps;
    if (seen.firstMain) {
        figures.tier0Seconds = MonotonicClock::milliseconds(start, *seen.firstMain) / 1000;
        figures.tier0Share = double(seen.mainAfter) / std::max(seen.allAfter, 1);
    }
    if (!seen.latencies.empty()) {
        std::sort(seen.latencies.begin(), seen.latencies.end());
        auto at = [&](double p) { return seen.latencies[size_t(p * double(seen.latencies.size() - 1))]; };
        figures.medianMs = at(0.5);
        figures.p95Ms = at(0.95);
    }
    return figures;
}

pid_t spawnSender(const LinkEnd& end, const fs::path& scratch, const std::string& program) {
    const fs::path settings = scratch / "settings.json";
    std::ofstream(settings) << R"({"useTestPattern": true, "resolution": {"width": 1920, "height": 1080},
        "autoResolution": false, "frameRate": 30, "autoFrameRate": false, "controlPort": 47810})";
    const std::string log = (scratch / "sender.log").string();
    // The sender keeps its identity and defaults in the scratch folder, and finds the openssl tool on the
    // caller's PATH.
    std::vector<std::string> variables{"HOME=" + scratch.string()};
    if (const char* path = std::getenv("PATH")) {
        variables.push_back(std::string("PATH=") + path);
    }
    std::vector<char*> environment;
    for (std::string& variable : variables) {
        environment.push_back(variable.data());
    }
    environment.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setns(end.namespaceFd.get(), CLONE_NEWNET) != 0) {
            _exit(127);
        }
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        char* arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--settings"),
                             const_cast<char*>(settings.c_str()), nullptr};
        ::execve(program.c_str(), arguments, environment.data());
        _exit(127);
    }
    return pid;
}

bool waitForText(const fs::path& file, const std::string& text, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file);
        std::stringstream content;
        content << in.rdbuf();
        if (content.str().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::optional<ViewerFigures> runViewer(const LinkEnd& end, EngineKind engine, int seconds,
                                       const fs::path& log) {
    int channel[2];
    if (::pipe(channel) != 0) {
        throw SystemError("pipe");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDERR_FILENO);
        ViewerFigures figures;
        if (::setns(end.namespaceFd.get(), CLONE_NEWNET) == 0) {
            figures = watch(engine, seconds);
        }
        [[maybe_unused]] const ssize_t written = ::write(channel[1], &figures, sizeof figures);
        _exit(0);
    }
    ::close(channel[1]);
    ViewerFigures figures;
    const ssize_t length = ::read(channel[0], &figures, sizeof figures);
    ::close(channel[0]);
    ::waitpid(pid, nullptr, 0);
    if (length != ssize_t(sizeof figures)) {
        return std::nullopt;
    }
    return figures;
}

std::string fixed(double value, int decimals) {
    if (value < 0) {
        return "–";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const std::string sender = KELVORA_SENDER_PROGRAM;
    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "LossyLinkBench: needs root to make network namespaces and TUN devices; skipped.\n");
        return kSkipped;
    }
    // Children must not inherit a broken pipe's signal into the parent's own writes.
    ::signal(SIGPIPE, SIG_IGN);

    std::printf("%-6s %6s %8s %4s %9s %12s %10s %8s %5s %9s\n", "engine", "loss_%", "delay_ms", "run",
                "tier0_s", "tier0_share", "median_ms", "p95_ms", "gaps", "pictures");
    std::fflush(stdout);
    int failures = 0;
    for (const double loss : options.lossPercents) {
        for (int run = 1; run <= options.runs; ++run) {
            for (const EngineKind& engine : {EngineKind::quic(), EngineKind::tcp()}) {
                char pattern[] = "/tmp/kelvora-lossy-link-XXXXXX";
                if (::mkdtemp(pattern) == nullptr) {
                    std::perror("mkdtemp");
                    return 1;
                }
                const fs::path scratch = pattern;
                std::optional<ViewerFigures> figures;
                try {
                    LinkEnd senderEnd = makeEnd("tunA", kSenderAddress);
                    LinkEnd viewerEnd = makeEnd("tunB", kViewerAddress);
                    Link link(senderEnd.tun.get(), viewerEnd.tun.get(), loss, options.delayMs);
                    const pid_t senderPid = spawnSender(senderEnd, scratch, sender);
                    if (waitForText(scratch / "sender.log", "Sender bereit", 20s)) {
                        figures = runViewer(viewerEnd, engine, options.seconds, scratch / "viewer.log");
                    } else {
                        std::fprintf(stderr, "LossyLinkBench: the sender did not start; see %s\n",
                                     (scratch / "sender.log").c_str());
                    }
                    ::kill(senderPid, SIGTERM);
                    ::waitpid(senderPid, nullptr, 0);
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "LossyLinkBench: cannot make the link (%s); skipped.\n",
                                 error.what());
                    return kSkipped;
                }
                if (!figures || !figures->connected) {
                    ++failures;
                    std::printf("%-6s %6.1f %8.0f %4d  viewer did not connect; sender log kept in %s\n",
                                engine.rawValue.c_str(), loss, options.delayMs, run, scratch.c_str());
                    continue;
                }
                std::printf("%-6s %6.1f %8.0f %4d %9s %12s %10s %8s %5d %9d\n", engine.rawValue.c_str(), loss,
                            options.delayMs, run, fixed(figures->tier0Seconds, 1).c_str(),
                            fixed(figures->tier0Seconds < 0 ? -1 : figures->tier0Share * 100, 0).c_str(),
                            fixed(figures->medianMs, 1).c_str(), fixed(figures->p95Ms, 1).c_str(),
                            figures->gaps, figures->pictures);
                std::fflush(stdout);
                std::error_code ignored;
                fs::remove_all(scratch, ignored);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
