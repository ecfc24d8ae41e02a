// One viewer's frames through the transport alone, QUIC against TCP: 30 messages per second of the size of a
// 720p frame at 6 Mbit/s (25 000 bytes, every 30th a keyframe of 100 000 bytes), each on a stream of its own
// over QUIC with the media transport's own settings, one after the other on a TCP connection with Nagle off
// as the TCP engine sends them. From handing a message to the transport to its last byte at the receiver,
// on the one clock of this process: median, 95th and 99th percentile, the worst, and the messages slower than
// one frame interval. Without encoder and decoder the figures show what the transport adds, also on a busy
// computer; glass to glass is QuicLatencyBench.
//
//     build/bench/FrameTransferBench                      (loopback as it is)
//     KELVORA_BENCH=build/bench/FrameTransferBench scripts/bench-loss.sh    (0, 1 and 5 % loss)

#include <benchmark/benchmark.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/MonotonicClock.h"
#include "core/QUICConfiguration.h"
#include "core/SampleWindow.h"
#include "platform/QuicEndpoint.h"
#include "sender/server/QUICIdentityStore.h"

using namespace kelvora;
using bench::ScratchFolder;

namespace {

constexpr int kFrameRate = 30;
constexpr double kFrameIntervalMs = 1000.0 / kFrameRate;
constexpr size_t kFrameBytes = 25'000;
constexpr size_t kKeyframeBytes = 100'000;

size_t frameSize(int index) {
    return index % kFrameRate == 0 ? kKeyframeBytes : kFrameBytes;
}

// Sends one message per frame interval from the io thread and notes when each arrived whole.
class Schedule {
  public:
    Schedule(asio::io_context& io, int frames) : timer_(io), frames_(frames), sentAt_(frames, 0) {}

    template <class Send>
    void start(Send send) {
        next_ = std::chrono::steady_clock::now();
        tick(std::move(send));
    }
    void arrived(int index, uint64_t at = MonotonicClock::now()) {
        if (index >= 0 && index < frames_ && sentAt_[index] != 0) {
            latencies_[index] = MonotonicClock::milliseconds(sentAt_[index], at);
        }
    }
    bool done() const { return sent_ == frames_; }
    const std::map<int, double>& latencies() const { return latencies_; }

  private:
    template <class Send>
    void tick(Send send) {
        sentAt_[sent_] = MonotonicClock::now();
        send(sent_);
        if (++sent_ == frames_) {
            return;
        }
        next_ += std::chrono::microseconds(int64_t(1e6 / kFrameRate));
        timer_.expires_at(next_);
        timer_.async_wait([this, send](const std::error_code& error) {
            if (!error) {
                tick(send);
            }
        });
    }

    asio::steady_timer timer_;
    int frames_;
    int sent_ = 0;
    std::chrono::steady_clock::time_point next_;
    std::vector<uint64_t> sentAt_;
    std::map<int, double> latencies_;
};

std::vector<uint8_t> message(int index) {
    std::vector<uint8_t> bytes(frameSize(index), uint8_t(index));
    for (int shift = 0; shift < 4; ++shift) {
        bytes[size_t(shift)] = uint8_t(uint32_t(index) >> (8 * shift));
    }
    return bytes;
}

int indexOf(const std::vector<uint8_t>& bytes) {
    uint32_t index = 0;
    for (int shift = 0; shift < 4; ++shift) {
        index |= uint32_t(bytes[size_t(shift)]) << (8 * shift);
    }
    return int(index);
}

std::map<int, double> runQuic(int frames) {
    ScratchFolder folder;
    auto identity = QUICIdentityStore(folder.path()).loadOrCreate();
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    Schedule schedule(io, frames);
    std::shared_ptr<QuicConnection> server;
    std::shared_ptr<QuicConnection> client;
    auto listener = QuicListener::listen(io, QUICConfiguration::serverParameters(identity.identity),
                                         asio::ip::address_v4::loopback());
    listener->setConnectionHandler([&](std::shared_ptr<QuicConnection> connection) {
        server = connection;
        schedule.start([&](int index) {
            if (auto stream = server->openStream()) {
                stream->send(message(index), true);
            }
        });
    });
    client = QuicConnection::connect(io, {asio::ip::address_v4::loopback(), listener->port()},
                                     QUICConfiguration::clientParameters(identity.fingerprint));
    std::vector<std::shared_ptr<QuicStream>> streams;
    client->setHandlers({{},
                         [&](std::shared_ptr<QuicStream> stream) {
                             auto received = std::make_shared<std::vector<uint8_t>>();
                             std::weak_ptr<QuicStream> weak = stream;
                             stream->setHandlers(
                                 {[&, received, weak](std::span<const uint8_t> data, bool end) {
                                      received->insert(received->end(), data.begin(), data.end());
                                      if (end && received->size() >= 4) {
                                          schedule.arrived(indexOf(*received));
                                          // The viewer's receipt: its side ends too.
                                          if (auto stream = weak.lock()) {
                                              stream->finish();
                                          }
                                      }
                                  },
                                  {}});
                             streams.push_back(std::move(stream));
                         },
                         {}});
    asio::steady_timer deadline(io);
    std::function<void()> check = [&] {
        deadline.expires_after(std::chrono::milliseconds(500));
        deadline.async_wait([&](const std::error_code&) {
            if (schedule.done() || !client || client->isClosed()) {
                // A last second for the slowest frames.
                deadline.expires_after(std::chrono::seconds(1));
                deadline.async_wait([&](const std::error_code&) {
                    client->close(0);
                    listener->stop();
                    work.reset();
                    io.stop();
                });
                return;
            }
            check();
        });
    };
    check();
    io.run();
    return schedule.latencies();
}

std::map<int, double> runTcp(int frames) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    asio::ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket server = acceptor.accept();
    server.set_option(asio::ip::tcp::no_delay(true));
    client.set_option(asio::ip::tcp::no_delay(true));
    Schedule schedule(io, frames);
    // The viewer reads on a thread of its own, as the session reads the control connection on its queue.
    std::thread reader([&] {
        std::vector<uint8_t> bytes;
        for (;;) {
            uint32_t length = 0;
            std::error_code error;
            asio::read(client, asio::buffer(&length, sizeof length), error);
            if (error || length > kKeyframeBytes) {
                return;
            }
            bytes.resize(length);
            asio::read(client, asio::buffer(bytes), error);
            if (error) {
                return;
            }
            int index = indexOf(bytes);
            asio::post(io, [&schedule, index, at = MonotonicClock::now()] { schedule.arrived(index, at); });
        }
    });
    auto work = asio::make_work_guard(io);
    schedule.start([&](int index) {
        std::vector<uint8_t> body = message(index);
        uint32_t length = uint32_t(body.size());
        std::vector<uint8_t> framed(sizeof length);
        std::memcpy(framed.data(), &length, sizeof length);
        framed.insert(framed.end(), body.begin(), body.end());
        // The TCP engine queues; a blocking write here is the same while the socket buffer has room.
        asio::write(server, asio::buffer(framed));
    });
    asio::steady_timer deadline(io);
    std::function<void()> check = [&] {
        deadline.expires_after(std::chrono::milliseconds(500));
        deadline.async_wait([&](const std::error_code&) {
            if (schedule.done()) {
                deadline.expires_after(std::chrono::seconds(1));
                deadline.async_wait([&](const std::error_code&) {
                    std::error_code ignored;
                    server.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                    client.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                    work.reset();
                    io.stop();
                });
                return;
            }
            check();
        });
    };
    check();
    io.run();
    reader.join();
    return schedule.latencies();
}

void FrameTransfer(benchmark::State& state) {
    const bool quic = state.range(0) != 0;
    const int frames = int(state.range(1)) * kFrameRate;
    for (auto _ : state) {
        std::map<int, double> latencies = quic ? runQuic(frames) : runTcp(frames);
        SampleWindow all(frames);
        int late = 0;
        for (const auto& [index, latency] : latencies) {
            all.add(latency);
            late += latency > kFrameIntervalMs ? 1 : 0;
        }
        bench::setLatencyCounters(state, all);
        state.counters["missing"] = frames - int(latencies.size());
        state.counters["late"] = late;
        state.SetIterationTime(double(frames) / kFrameRate);
    }
    state.SetLabel(quic ? "quic" : "tcp");
}

BENCHMARK(FrameTransfer)
    ->ArgNames({"quic", "seconds"})
    ->ArgsProduct({{0, 1}, {35}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
