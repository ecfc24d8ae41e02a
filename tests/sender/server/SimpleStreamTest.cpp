#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "LoopbackClient.h"
#include "core/ByteReader.h"
#include "core/Nal.h"
#include "core/SimpleStreamProtocol.h"
#include "sender/server/SimpleH264Streamer.h"
#include "sender/server/SimpleStreamFanOut.h"
#include "support/Eventually.h"

using namespace kelvora;
using namespace kelvora::testing;
using Simple = SimpleStreamProtocol;

namespace {

struct Packet {
    Simple::MessageType type;
    Bytes body;
};

std::optional<Packet> readPacket(LoopbackClient& client) {
    auto header = client.read(Simple::headerLength);
    if (!header) {
        return std::nullopt;
    }
    ByteReader reader(*header);
    auto type = Simple::messageType(reader.readUInt8());
    const uint32_t length = reader.readUInt32();
    if (!type) {
        return std::nullopt;
    }
    auto body = client.read(length);
    if (!body) {
        return std::nullopt;
    }
    return Packet{*type, std::move(*body)};
}

// A frame packet of the given size whose timestamp is its sequence number.
std::shared_ptr<const Bytes> framePacket(uint64_t sequence, bool isKeyframe, size_t size) {
    return std::make_shared<const Bytes>(Simple::message(
        Simple::MessageType::frame, Simple::frameBody(isKeyframe, sequence, Bytes(size, 0x5A))));
}

struct FanOutFixture {
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("app.kelvora.sender.test-simple");
    Eventually<int> counts;
    std::atomic<int> readyCount{0};
    std::shared_ptr<SimpleStreamFanOut> fanOut;

    FanOutFixture() {
        SimpleStreamFanOut::Handlers handlers;
        handlers.clientCount = [this](int count) { counts.push(count); };
        handlers.receiverReady = [this] { ++readyCount; };
        fanOut = SimpleStreamFanOut::create(queue, 0, std::move(handlers));
        queue->sync([this] { fanOut->start(); });
    }
    ~FanOutFixture() {
        queue->sync([this] {
            fanOut->stop();
            fanOut.reset();
        });
    }
    uint16_t port() {
        return queue->sync([this] { return fanOut->port().value_or(0); });
    }
    void broadcast(uint64_t sequence, bool isKeyframe, size_t size = 100) {
        auto packet = framePacket(sequence, isKeyframe, size);
        queue->sync([&] { fanOut->broadcast(packet, isKeyframe); });
    }
};

// NV12 picture with a moving gradient, so that consecutive frames differ.
PixelBuffer picture(int width, int height, int phase) {
    PixelBuffer buffer = PixelBuffer::make(PixelFormat::nv12, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer.data(0) + y * buffer.stride(0);
        for (int x = 0; x < width; ++x) {
            row[x] = static_cast<uint8_t>(16 + ((x + y + phase * 7) % 200));
        }
    }
    for (int y = 0; y < buffer.planeHeight(1); ++y) {
        std::memset(buffer.data(1) + y * buffer.stride(1), 128,
                    static_cast<size_t>(buffer.planeWidth(1) * 2));
    }
    return buffer;
}

}  // namespace

TEST(SimpleStreamFanOut, NewReceiverStartsAtAKeyframeAndOneThatHangsUpIsCounted) {
    FanOutFixture fixture;
    LoopbackClient receiver(fixture.port());
    ASSERT_TRUE(fixture.counts.waitFor([](int count) { return count == 1; }));
    EXPECT_EQ(fixture.readyCount.load(), 1);

    fixture.broadcast(1, false);
    fixture.broadcast(2, true);
    fixture.broadcast(3, false);
    auto first = readPacket(receiver);
    ASSERT_TRUE(first);
    auto frame = Simple::parseFrame(first->body);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isKeyframe);
    EXPECT_EQ(frame->timestamp, 2u);
    auto second = Simple::parseFrame(readPacket(receiver)->body);
    EXPECT_EQ(second->timestamp, 3u);

    // Talking to the sender does no harm; hanging up removes the receiver.
    receiver.write(Bytes(2000, 0x01));
    fixture.broadcast(4, false);
    EXPECT_EQ(Simple::parseFrame(readPacket(receiver)->body)->timestamp, 4u);
    receiver.shutdownWrite();
    EXPECT_TRUE(fixture.counts.waitFor([](int count) { return count == 0; }));
}

TEST(SimpleStreamFanOut, StalledReceiverIsBoundedAndResumesAtAKeyframe) {
    FanOutFixture fixture;
    LoopbackClient receiver(fixture.port(), 4096);
    ASSERT_TRUE(fixture.counts.waitFor([](int count) { return count == 1; }));

    // 30 MB for a receiver that reads nothing: far more than the kernel's buffers take.
    constexpr size_t packetSize = 200 * 1024;
    constexpr uint64_t total = 150;
    size_t mostQueued = 0;
    for (uint64_t sequence = 1; sequence <= total; ++sequence) {
        fixture.broadcast(sequence, sequence % 10 == 1, packetSize);
        mostQueued = std::max(mostQueued, fixture.queue->sync([&] { return fixture.fanOut->queuedBytes(); }));
    }
    EXPECT_LE(mostQueued, SimpleStreamFanOut::maximumQueuedBytes + packetSize);

    std::vector<Simple::Frame> received;
    std::thread reader([&] {
        while (auto packet = readPacket(receiver)) {
            received.push_back(*Simple::parseFrame(packet->body));
        }
    });
    ASSERT_TRUE(
        waitUntil([&] { return fixture.queue->sync([&] { return fixture.fanOut->queuedBytes(); }) == 0; }));
    fixture.queue->sync([&] { fixture.fanOut->stop(); });
    reader.join();

    ASSERT_FALSE(received.empty());
    EXPECT_LT(received.size(), total) << "nothing was dropped, so the stall was not exercised";
    EXPECT_TRUE(received.front().isKeyframe);
    for (size_t i = 1; i < received.size(); ++i) {
        ASSERT_GT(received[i].timestamp, received[i - 1].timestamp);
        if (received[i].timestamp != received[i - 1].timestamp + 1) {
            EXPECT_TRUE(received[i].isKeyframe) << "a P-frame after a gap at " << received[i].timestamp;
        }
    }
}

TEST(SimpleStreamFanOut, BusyPortLeavesItWithoutListener) {
    asio::io_context context;
    asio::ip::tcp::acceptor blocker(context, {asio::ip::address_v4::any(), 0});
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test-simple");
    auto fanOut = SimpleStreamFanOut::create(queue, blocker.local_endpoint().port(), {});
    queue->sync([&] {
        fanOut->start();
        EXPECT_EQ(fanOut->port(), std::nullopt);
        fanOut.reset();
    });
}

TEST(SimpleH264Streamer, ReceiverGetsParameterSetsThenKeyframesAndANewSizeRestartsTheStream) {
    auto streamer = SimpleH264Streamer::create("Test", 2000, 0);
    Eventually<int> counts;
    streamer->setClientCountHandler([&](int count) { counts.push(count); });
    streamer->start();
    const auto port = streamer->listeningPort();
    ASSERT_TRUE(port);

    LoopbackClient receiver(*port);
    ASSERT_TRUE(counts.waitFor([](int count) { return count == 1; }));

    std::atomic<bool> running{true};
    std::atomic<int> size{0};
    std::thread source([&] {
        for (int i = 1; running; ++i) {
            const int width = size == 0 ? 320 : 160;
            const int height = size == 0 ? 240 : 120;
            streamer->encode(picture(width, height, i), uint64_t(i) * 33'000'000);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    auto expectKeyframeWithSets = [&]() -> std::vector<Bytes> {
        auto sets = readPacket(receiver);
        EXPECT_TRUE(sets && sets->type == Simple::MessageType::parameterSets);
        if (!sets) {
            return {};
        }
        auto list = Simple::parseParameterSets(sets->body).value_or(std::vector<Bytes>{});
        EXPECT_EQ(list.size(), 2u);
        if (list.size() == 2) {
            EXPECT_EQ(nal::type(VideoCodec::h264, list[0]), nal::h264::sps);
            EXPECT_EQ(nal::type(VideoCodec::h264, list[1]), nal::h264::pps);
        }
        auto frame = readPacket(receiver);
        EXPECT_TRUE(frame && frame->type == Simple::MessageType::frame);
        if (frame) {
            auto parsed = Simple::parseFrame(frame->body);
            EXPECT_TRUE(parsed && parsed->isKeyframe) << parsed->timestamp;
            // Length-prefixed NAL units without start codes, the IDR slice among them.
            const auto units = nal::splitLengthPrefixed(parsed->data);
            EXPECT_FALSE(nal::startsWithStartCode(parsed->data));
            bool hasIdr = false;
            for (ByteView unit : units) {
                hasIdr = hasIdr || nal::type(VideoCodec::h264, unit) == nal::h264::idr;
            }
            EXPECT_TRUE(hasIdr);
        }
        return list;
    };

    const auto firstSets = expectKeyframeWithSets();
    for (int i = 0; i < 3; ++i) {
        auto packet = readPacket(receiver);
        ASSERT_TRUE(packet);
        if (packet->type == Simple::MessageType::frame) {
            EXPECT_FALSE(Simple::parseFrame(packet->body)->isKeyframe)
                << Simple::parseFrame(packet->body)->timestamp;
        }
    }

    size = 1;
    std::optional<std::vector<Bytes>> secondSets;
    for (int i = 0; i < 200 && !secondSets; ++i) {
        auto packet = readPacket(receiver);
        ASSERT_TRUE(packet);
        if (packet->type == Simple::MessageType::parameterSets) {
            auto list = Simple::parseParameterSets(packet->body).value();
            if (list != firstSets) {
                secondSets = list;
                auto frame = readPacket(receiver);
                ASSERT_TRUE(frame);
                EXPECT_TRUE(Simple::parseFrame(frame->body)->isKeyframe);
            }
        }
    }
    EXPECT_TRUE(secondSets) << "the smaller picture never came with sets of its own";

    running = false;
    source.join();
    streamer->stop();
    EXPECT_TRUE(counts.waitFor([](int count) { return count == 0; }));
    EXPECT_TRUE(receiver.waitForClose());
}
