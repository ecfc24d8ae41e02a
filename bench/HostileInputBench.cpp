// What a hostile peer can make the sender spend. Two figures:
// - the server-queue time to read the largest control message a viewer may send (a hello of that size made
//   of tiny unknown keys, the worst case for building a JSON object), against a plain hello;
// - the memory of one idle connection that has not said hello and sits on a header announcing the largest
//   allowed message: the sender holds the most such connections it admits, and its heap grows by this much
//   for each.
//
// Counters: bytes_per_connection (heap growth divided by the connections held).

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <malloc.h>
#include <string>
#include <thread>
#include <vector>

#include "core/ByteWriter.h"
#include "core/ControlMessage.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SenderServer.h"
#include "tests/core/LoopbackPeer.h"

using namespace kelvora;
using namespace std::chrono_literals;

namespace {

std::string keyFlood(std::size_t length) {
    std::string text = R"({"clientID":"a","clientName":"b","protocolVersion":4,"engine":"tcp",)"
                       R"("supportedCodecs":[1],"deviceModel":"c")";
    for (int i = 0; text.size() + 16 < length; ++i) {
        text += ",\"" + std::to_string(i) + "\":0";
    }
    text.append(length - 1 - text.size(), ' ');
    text += "}";
    return text;
}

void BM_ReadLargestViewerHello(benchmark::State& state) {
    const std::string text = keyFlood(SenderServer::maximumViewerMessageLength);
    const ByteView payload(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    for (auto _ : state) {
        ControlMessage message = ControlMessage::decode(ControlMessage::TypeCode::hello, payload);
        benchmark::DoNotOptimize(&message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_ReadPlainHello(benchmark::State& state) {
    const HelloMessage hello{"a", "b", 4, EngineKind::tcp(), {VideoCodec::h264}, "c", true};
    const Bytes frame = ControlMessage(hello).encoded();
    const ByteView payload = ByteView(frame).subspan(ControlMessage::headerLength);
    for (auto _ : state) {
        ControlMessage message = ControlMessage::decode(ControlMessage::TypeCode::hello, payload);
        benchmark::DoNotOptimize(&message);
    }
}

// Heap bytes in use: the resident size would hide memory that earlier benchmarks freed and this one reuses.
long heapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
}

void BM_IdleConnectionWithoutHello(benchmark::State& state) {
    auto queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    ServiceAnnouncement announcement;
    announcement.senderName = "Bench";
    auto server = SenderServer::create({std::make_shared<NativeTCPEngine>()}, announcement, {}, 0,
                                       {.queue = queue, .timers = nullptr, .announce = false});
    server->start();
    uint16_t port = 0;
    while (port == 0) {
        std::this_thread::sleep_for(10ms);
        port = queue->sync([&] { return server->controlPort().value_or(0); });
    }

    ByteWriter header;
    header.writeUInt8(static_cast<uint8_t>(ControlMessage::TypeCode::hello));
    header.writeUInt32(SenderServer::maximumViewerMessageLength);
    header.append(Bytes(100, '{'));
    const Bytes bytes = std::move(header).take();

    const std::size_t count = SenderServer::maximumPendingConnections;
    for (auto _ : state) {
        const long before = heapInUse();
        std::vector<testing::RawPeer> peers;
        for (std::size_t i = 0; i < count; ++i) {
            const uint32_t source =
                INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i / SenderServer::maximumPendingPerAddress);
            peers.push_back(testing::RawPeer::connectTo(port, source));
            ::send(peers.back().fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        while (queue->sync([&] { return server->pendingCount(); }) < count) {
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(200ms);
        const long after = heapInUse();
        state.counters["bytes_per_connection"] =
            static_cast<double>(after - before) / static_cast<double>(count);
        peers.clear();
        while (queue->sync([&] { return server->pendingCount(); }) > 0) {
            std::this_thread::sleep_for(5ms);
        }
    }
    server->stop();
    queue->sync([&] { server.reset(); });
}

}  // namespace

BENCHMARK(BM_ReadLargestViewerHello)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadPlainHello)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleConnectionWithoutHello)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
