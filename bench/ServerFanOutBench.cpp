// One 1080p-sized frame stream (30 frames/s of about 60 KB, a keyframe every second) fanned out by the sender
// server to 1, 10 and 50 viewers on loopback. What counts is the server queue's CPU time per frame: the frame
// is encoded once, so each further viewer should cost only its share of socket writes.
//
// Counters: cpu_us_per_frame (server queue thread), core_percent (of one core at 30 frames/s) and
// core_percent_per_viewer.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/ControlMessage.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SenderServer.h"
#include "tests/core/LoopbackPeer.h"

using namespace kelvora;

namespace {

constexpr size_t kFrameBytes = 60 * 1024;
constexpr int kFrameRate = 30;

testing::RawPeer connectViewer(uint16_t port, int index) {
    // Every viewer from an address of its own, as separate devices would be: the server admits only a few
    // connections at a time from one address before they have said hello.
    testing::RawPeer peer =
        testing::RawPeer::connectTo(port, INADDR_LOOPBACK + 1 + static_cast<uint32_t>(index));
    HelloMessage hello;
    hello.clientID = "bench-" + std::to_string(index);
    hello.clientName = hello.clientID;
    hello.protocolVersion = HelloMessage::currentProtocolVersion;
    hello.engine = EngineKind::tcp();
    hello.deviceModel = "Bench";
    peer.sendMessage(hello);
    return peer;
}

// Reads and discards everything the viewers receive, as a fast viewer would.
class Drain {
  public:
    explicit Drain(std::vector<testing::RawPeer> peers)
        : peers_(std::move(peers)), thread_([this] { run(); }) {}
    ~Drain() {
        running_ = false;
        thread_.join();
    }

  private:
    void run() {
        std::vector<pollfd> entries;
        for (const auto& peer : peers_) {
            entries.push_back({peer.fd(), POLLIN, 0});
        }
        std::vector<uint8_t> buffer(256 * 1024);
        while (running_) {
            if (::poll(entries.data(), entries.size(), 20) <= 0) {
                continue;
            }
            for (auto& entry : entries) {
                if (entry.revents & POLLIN) {
                    (void)::recv(entry.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                }
            }
        }
    }

    std::vector<testing::RawPeer> peers_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

EncodedVideoFrame frameNumber(uint64_t number) {
    const bool keyframe = number % kFrameRate == 1;
    std::vector<Bytes> sets;
    if (keyframe) {
        sets = {Bytes(24, 0x67), Bytes(8, 0x68)};
    }
    Bytes payload(kFrameBytes);
    for (size_t i = 0; i < payload.size(); i += 64) {
        payload[i] = static_cast<uint8_t>(number + i);
    }
    return EncodedVideoFrame::make(
        VideoCodec::h264, keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{}, 0,
        number, std::nullopt, number * 33'333'333, number * 33'333'333 + 4'000'000, VideoDimensions::hd1080(),
        16000, std::move(sets), std::move(payload));
}

double threadCpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void BM_ServerFanOut(benchmark::State& state) {
    const int viewers = static_cast<int>(state.range(0));
    ServiceAnnouncement announcement;
    announcement.senderID = "bench";
    announcement.senderName = "Fan-out bench";
    SenderServer::Options hidden;
    hidden.announce = false;
    auto server = SenderServer::create({std::make_shared<NativeTCPEngine>()}, announcement,
                                       StreamInfoMessage{}, 0, hidden);
    server->start();
    const uint16_t port = server->queue()->sync([&] { return server->controlPort().value_or(0); });

    std::vector<testing::RawPeer> peers;
    for (int i = 0; i < viewers; ++i) {
        peers.push_back(connectViewer(port, i));
    }
    while (server->queue()->sync([&] { return server->sessions().size(); }) < size_t(viewers)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Drain drain(std::move(peers));

    const clockid_t serverClock = server->queue()->sync([] {
        clockid_t clock;
        pthread_getcpuclockid(pthread_self(), &clock);
        return clock;
    });

    uint64_t number = 1;
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / kFrameRate);
    auto next = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds(serverClock);
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const EncodedVideoFrame frame = frameNumber(number++);
        server->queue()->sync([&] { server->deliver(frame); });
        next += interval;
        std::this_thread::sleep_until(next);
    }
    // Let the writes of the last frame finish on the queue before reading its CPU time.
    std::this_thread::sleep_for(interval);
    const double cpu = threadCpuSeconds(serverClock) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    const double frames = static_cast<double>(state.iterations());
    state.counters["cpu_us_per_frame"] = cpu / frames * 1e6;
    state.counters["core_percent"] = cpu / wall * 100.0;
    state.counters["core_percent_per_viewer"] = cpu / wall * 100.0 / viewers;

    server->stop();
    server->queue()->sync([] {});
}

}  // namespace

BENCHMARK(BM_ServerFanOut)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->Iterations(150)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
