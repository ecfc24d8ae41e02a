#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "TestViewer.h"
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

std::optional<Packet> readPacket(RawPeer& peer) {
    Bytes header;
    Bytes body;
    if (peer.readExact(Simple::headerLength, header) != RawPeer::Outcome::data) {
        return std::nullopt;
    }
    ByteReader reader(header);
    auto type = Simple::messageType(reader.readUInt8());
    if (!type || peer.readExact(reader.readUInt32(), body) != RawPeer::Outcome::data) {
        return std::nullopt;
    }
    return Packet{*type, std::move(body)};
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

TEST(SimpleStreamFanOut, ReceiversStartAtAKeyframeAndAStalledOneIsBoundedAndResumesAtOne) {
    FanOutFixture fixture;
    RawPeer receiver = TestViewer::connectSlowly(fixture.port(), 4096);
    ASSERT_TRUE(fixture.counts.waitFor([](int count) { return count == 1; }));
    EXPECT_EQ(fixture.readyCount.load(), 1);
    receiver.sendAll(Bytes(2000, 0x01));  // what a receiver says is ignored

    // 30 MB for a receiver that reads nothing, far more than the kernel's buffers take; the first keyframe
    // is the fifth frame.
    constexpr size_t packetSize = 200 * 1024;
    constexpr uint64_t total = 150;
    size_t mostQueued = 0;
    for (uint64_t sequence = 1; sequence <= total; ++sequence) {
        fixture.broadcast(sequence, sequence % 10 == 5, packetSize);
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
    // Hanging up removes the receiver.
    receiver.shutdownSending();
    EXPECT_TRUE(fixture.counts.waitFor([](int count) { return count == 0; }));
    reader.join();

    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front().timestamp, 5u);
    EXPECT_LT(received.size(), total - 4) << "nothing was dropped, so the stall was not exercised";
    for (size_t i = 1; i < received.size(); ++i) {
        ASSERT_GT(received[i].timestamp, received[i - 1].timestamp);
        if (received[i].timestamp != received[i - 1].timestamp + 1) {
            EXPECT_TRUE(received[i].isKeyframe) << "a P-frame after a gap at " << received[i].timestamp;
        }
    }
}

TEST(SimpleStreamFanOut, ReceiversAreCappedPerAddressAndOverall) {
    FanOutFixture fixture;
    const auto expectRefused = [&](uint32_t source) {
        RawPeer refused = RawPeer::connectTo(fixture.port(), source);
        Bytes nothing;
        EXPECT_NE(refused.readExact(1, nothing), RawPeer::Outcome::timeout) << "not closed at once";
    };
    std::vector<RawPeer> receivers;
    for (size_t i = 0; i < SimpleStreamFanOut::maximumReceiversPerAddress; ++i) {
        receivers.push_back(RawPeer::connectTo(fixture.port()));
    }
    ASSERT_TRUE(fixture.counts.waitFor(
        [](int count) { return count == static_cast<int>(SimpleStreamFanOut::maximumReceiversPerAddress); }));
    expectRefused(INADDR_LOOPBACK);
    for (uint32_t source = INADDR_LOOPBACK + 1; receivers.size() < SimpleStreamFanOut::maximumReceivers;
         ++source) {
        receivers.push_back(RawPeer::connectTo(fixture.port(), source));
    }
    ASSERT_TRUE(fixture.counts.waitFor(
        [](int count) { return count == static_cast<int>(SimpleStreamFanOut::maximumReceivers); }));
    expectRefused(INADDR_LOOPBACK + 100);
    EXPECT_EQ(fixture.readyCount.load(), static_cast<int>(SimpleStreamFanOut::maximumReceivers))
        << "a refused receiver asked the encoder for a keyframe";
}

TEST(SimpleH264Streamer, ReceiverGetsParameterSetsBeforeKeyframesAndANewSizeStartsOver) {
    auto streamer = SimpleH264Streamer::create("Test", 2000, 0);
    Eventually<int> counts;
    streamer->setClientCountHandler([&](int count) { counts.push(count); });
    streamer->start();
    RawPeer receiver = RawPeer::connectTo(streamer->listeningPort().value());
    ASSERT_TRUE(counts.waitFor([](int count) { return count == 1; }));

    std::atomic<bool> running{true};
    std::atomic<int> width{320};
    std::thread source([&] {
        for (int i = 1; running; ++i) {
            streamer->encode(picture(width, width * 3 / 4, i), uint64_t(i) * 33'000'000);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    // Reads up to the next parameter sets, then checks the keyframe behind them.
    auto nextKeyframeSets = [&](bool expectImmediately) -> std::vector<Bytes> {
        for (int i = 0; i < 200; ++i) {
            auto packet = readPacket(receiver);
            if (!packet) {
                break;
            }
            if (packet->type == Simple::MessageType::frame) {
                EXPECT_FALSE(expectImmediately) << "a frame before the parameter sets";
                EXPECT_FALSE(Simple::parseFrame(packet->body)->isKeyframe) << "a keyframe without sets";
                continue;
            }
            auto sets = Simple::parseParameterSets(packet->body).value_or(std::vector<Bytes>{});
            EXPECT_EQ(sets.size(), 2u);
            auto frame = Simple::parseFrame(readPacket(receiver).value().body);
            EXPECT_TRUE(frame && frame->isKeyframe);
            bool hasIdr = false;
            for (ByteView unit : nal::splitLengthPrefixed(frame->data)) {
                hasIdr = hasIdr || nal::type(VideoCodec::h264, unit) == nal::h264::idr;
            }
            EXPECT_TRUE(hasIdr);
            if (sets.size() == 2) {
                EXPECT_EQ(nal::type(VideoCodec::h264, sets[0]), nal::h264::sps);
                EXPECT_EQ(nal::type(VideoCodec::h264, sets[1]), nal::h264::pps);
            }
            return sets;
        }
        ADD_FAILURE() << "no parameter sets came";
        return {};
    };

    const auto first = nextKeyframeSets(true);
    for (int i = 0; i < 3; ++i) {
        auto packet = readPacket(receiver);
        ASSERT_TRUE(packet && packet->type == Simple::MessageType::frame);
        EXPECT_FALSE(Simple::parseFrame(packet->body)->isKeyframe) << "the encoder holds no frame back";
    }
    width = 160;
    std::vector<Bytes> second;
    for (int i = 0; i < 5 && (second.empty() || second == first); ++i) {
        second = nextKeyframeSets(false);
    }
    EXPECT_NE(second, first) << "the smaller picture never came with sets of its own";

    running = false;
    source.join();
    streamer->stop();
    EXPECT_TRUE(counts.waitFor([](int count) { return count == 0; }));
    Bytes rest;
    EXPECT_NE(receiver.readExact(1 << 30, rest), RawPeer::Outcome::timeout);
}

namespace {

PixelBuffer noisePicture(int width, int height, uint32_t& seed) {
    PixelBuffer buffer = picture(width, height, 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer.data(0) + y * buffer.stride(0);
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = static_cast<uint8_t>(16 + (seed >> 24) % 220);
        }
    }
    return buffer;
}

}  // namespace

TEST(SimpleH264Encoder, TheBitrateHoldsPerSecondWhateverTheSourceRate) {
    constexpr int kbps = 2000;
    for (int rate : {15, 30, 60}) {
        auto encoder = SimpleH264Encoder::open(640, 360, kbps);
        ASSERT_TRUE(encoder);
        uint32_t seed = 11;
        size_t bytes = 0;
        // Three seconds; the first is left out while rate control settles.
        for (int i = 0; i < 3 * rate; ++i) {
            auto frame =
                encoder->encode(noisePicture(640, 360, seed), uint64_t(i) * 1'000'000'000 / rate, false);
            if (frame && i >= rate) {
                bytes += frame->data.size();
            }
        }
        const double expected = kbps * 1000.0 / 8 * 2;
        EXPECT_GT(double(bytes), 0.7 * expected) << rate << " fps";
        EXPECT_LT(double(bytes), 1.4 * expected) << rate << " fps";
    }
}

TEST(SimpleH264Streamer, AStopWithPicturesInFlightLeavesNoEncoderBehind) {
    auto streamer = SimpleH264Streamer::create("Test", 2000, 0);
    Eventually<int> counts;
    streamer->setClientCountHandler([&](int count) { counts.push(count); });
    streamer->start();
    RawPeer receiver = RawPeer::connectTo(streamer->listeningPort().value());
    ASSERT_TRUE(counts.waitFor([](int count) { return count == 1; }));

    std::atomic<int> delivered{0};
    std::atomic<bool> running{true};
    std::thread source([&] {
        for (int i = 1; running; ++i) {
            streamer->encode(picture(320, 240, i), uint64_t(i) * 16'000'000);
            ++delivered;
        }
    });
    ASSERT_TRUE(readPacket(receiver));
    streamer->stop();
    EXPECT_FALSE(streamer->hasEncoder());
    // Pictures keep coming until the source is told otherwise; none of them opens an encoder again.
    const int after = delivered.load();
    ASSERT_TRUE(waitUntil([&] { return delivered.load() > after + 50; }));
    running = false;
    source.join();
    EXPECT_FALSE(streamer->hasEncoder());
}
