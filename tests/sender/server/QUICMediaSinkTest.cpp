#include "sender/server/QUICMediaSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "core/ControlMessage.h"
#include "core/QUICConfiguration.h"
#include "support/IoThread.h"
#include "support/TestIdentity.h"

using namespace kelvora;
using kelvora::test::IoThread;
using kelvora::test::Signal;

namespace {

constexpr uint64_t kMs = 1'000'000;

SinkCongestion rule(std::vector<QUICMediaSink::InFlightFrame> frames) {
    return QUICMediaSink::congestionOf(frames);
}

std::shared_ptr<const TlsIdentity> senderIdentity() {
    static auto identity =
        TlsIdentity::fromPkcs12(test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "pw"), "pw");
    return identity;
}

EncodedVideoFrame frame(uint8_t tier, bool keyframe, size_t bytes = 1000, bool disposable = false) {
    EncodedVideoFrame::Flags flags;
    if (keyframe) {
        flags.insert(EncodedVideoFrame::Flags::keyframe);
    }
    if (disposable) {
        flags.insert(EncodedVideoFrame::Flags::disposable);
    }
    return EncodedVideoFrame::make(VideoCodec::h264, flags, tier, 1, std::nullopt, 0, 0, {1280, 720}, 4000,
                                   {}, Bytes(bytes, 0x42));
}

SharedBytes message(const EncodedVideoFrame& frame) {
    return std::make_shared<const Bytes>(ControlMessage(frame).encoded());
}

// A sender connection bound to a sink, and a viewer that finishes every frame stream once the frame is
// in (or, when told to hold, never).
class SinkFixture {
  public:
    explicit SinkFixture(IoThread& io, bool viewerHolds = false) : io_(io) {
        listener_ = io.call([&] {
            auto listener =
                QuicListener::listen(io.context(), QUICConfiguration::serverParameters(senderIdentity()),
                                     asio::ip::address_v4::loopback());
            listener->setConnectionHandler(
                [this](std::shared_ptr<QuicConnection> connection) { senderSide_.set(connection); });
            return listener;
        });
        viewer = io.call([&] {
            auto viewer = QuicConnection::connect(
                io.context(), {asio::ip::address_v4::loopback(), listener_->port()},
                QUICConfiguration::clientParameters(
                    QUICConfiguration::fingerprint(senderIdentity()->certificateDer())));
            viewer->setHandlers({{},
                                 [this, viewerHolds](std::shared_ptr<QuicStream> stream) {
                                     held_.push_back(stream);
                                     stream->setHandlers({[this, stream, viewerHolds](
                                                              std::span<const uint8_t> data, bool finished) {
                                                              bytesReceived += data.size();
                                                              if (finished) {
                                                                  ++framesReceived;
                                                                  if (!viewerHolds) {
                                                                      stream->finish();
                                                                  }
                                                              }
                                                          },
                                                          {}});
                                 },
                                 [this](const std::optional<QuicError>& error) { viewerClosed.set(error); }});
            return viewer;
        });
        senderSide = senderSide_.wait().value();
        sink = io.call([&] {
            return QUICMediaSink::make(
                senderSide, [this] { ++attachClosures; }, [this] { return now.load(); });
        });
    }

    ~SinkFixture() {
        io_.call([&] {
            sink->close();
            viewer->close(0);
            listener_->stop();
            sink.reset();
            viewer.reset();
            listener_.reset();
            held_.clear();
        });
    }

    // Waits until the io thread has handled everything that arrived so far and `condition` holds.
    template <class Condition>
    bool eventually(Condition condition) {
        for (int i = 0; i < 2000; ++i) {
            if (io_.call(condition)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    IoThread& io_;
    std::atomic<uint64_t> now{1'000'000 * kMs};
    std::shared_ptr<QUICMediaSink> sink;
    std::shared_ptr<QuicConnection> viewer;
    std::shared_ptr<QuicConnection> senderSide;
    int attachClosures = 0;
    int framesReceived = 0;
    size_t bytesReceived = 0;
    Signal<std::optional<QuicError>> viewerClosed;

  private:
    std::shared_ptr<QuicListener> listener_;
    Signal<std::shared_ptr<QuicConnection>> senderSide_;
    std::vector<std::shared_ptr<QuicStream>> held_;
};

// A connection whose frame streams the test answers by hand, on a path of a chosen round trip.
class HandDrivenStream final : public QuicStream {
  public:
    using QuicStream::send;
    int64_t id() const override { return 0; }
    bool isLocal() const override { return true; }
    bool isClosed() const override { return false; }
    void setHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    void consumeExplicitly() override {}
    void consumed(std::size_t) override {}
    void send(std::shared_ptr<const std::vector<uint8_t>>, bool) override {}
    void finish() override {}
    void setPriority(int value) override { priority = value; }
    void cancel(uint64_t) override {}
    // The viewer has the whole frame and ends its side.
    void answer() { handlers_.onReceive({}, true); }
    int priority = 0;

  private:
    Handlers handlers_;
};

class HandDrivenConnection final : public QuicConnection {
  public:
    void setHandlers(Handlers) override {}
    bool isReady() const override { return true; }
    bool isClosed() const override { return false; }
    asio::ip::udp::endpoint remoteEndpoint() const override { return {}; }
    std::string applicationProtocol() const override { return "kelvora/1"; }
    std::shared_ptr<QuicStream> openStream() override {
        streams.push_back(std::make_shared<HandDrivenStream>());
        return streams.back();
    }
    void close(uint64_t) override {}
    QuicStats stats() const override {
        QuicStats stats;
        stats.minimumRttNs = minimumRttNs;
        return stats;
    }
    std::vector<std::shared_ptr<HandDrivenStream>> streams;
    uint64_t minimumRttNs = 0;
};

}  // namespace

TEST(QUICMediaSinkCongestion, FollowsKeyframeAgeCountAndFrameAge) {
    EXPECT_EQ(rule({}), SinkCongestion::none);
    EXPECT_EQ(rule({{180, false}}), SinkCongestion::none);
    EXPECT_EQ(rule({{121, false}, {10, false}}), SinkCongestion::severe);
    EXPECT_EQ(rule({{51, false}, {10, false}}), SinkCongestion::moderate);
    EXPECT_EQ(rule({{40, false}, {30, false}, {20, false}, {10, false}}), SinkCongestion::moderate);
    EXPECT_EQ(rule(std::vector<QUICMediaSink::InFlightFrame>(7, {10, false})), SinkCongestion::moderate);
    EXPECT_EQ(rule(std::vector<QUICMediaSink::InFlightFrame>(8, {10, false})), SinkCongestion::severe);
    EXPECT_EQ(rule({{601, true}}), SinkCongestion::severe);
    EXPECT_EQ(rule({{599, true}}), SinkCongestion::none);
    // A keyframe's age is not a frame age: an old keyframe with a young frame is only "two in flight".
    EXPECT_EQ(rule({{300, true}, {10, false}}), SinkCongestion::none);
}

TEST(QUICDeliveryMeter, SmallFramesGiveBaseDelayLargeLateFramesGiveRates) {
    uint64_t start = 50'000 * kMs;
    QUICDeliveryMeter meter(start);
    // A small frame: base delay only.
    auto small = meter.recordReceipt(start + 1200 * kMs, start + 1198 * kMs, 3999);
    EXPECT_FALSE(small.measured);
    EXPECT_DOUBLE_EQ(small.transferMs, 2.0);
    // A large frame inside the first second: no sample.
    EXPECT_FALSE(meter.recordReceipt(start + 920 * kMs, start + 900 * kMs, 40000).measured);
    EXPECT_FALSE(meter.takeDeliveryEstimate());

    // 50 kB sent at 1500 ms, confirmed 10 ms later; with 2 ms of base delay the net time is 8 ms.
    auto large = meter.recordReceipt(start + 1510 * kMs, start + 1500 * kMs, 50000);
    ASSERT_TRUE(large.measured && large.rateKbps);
    EXPECT_DOUBLE_EQ(large.baseDelayMs, 2.0);
    EXPECT_EQ(large.windowBytes, 50000u);
    EXPECT_DOUBLE_EQ(*large.rateKbps, 50000.0 * 8 / 8);
    // A frame confirmed within its base delay gives no sample.
    EXPECT_FALSE(meter.recordReceipt(start + 1601 * kMs, start + 1600 * kMs, 60000).rateKbps);
    EXPECT_EQ(meter.takeDeliveryEstimate(), 50000.0);
    EXPECT_FALSE(meter.takeDeliveryEstimate());
}

TEST(QUICDeliveryMeter, AckedRateNeedsTheWindowPlusOneSecondOfHistory) {
    uint64_t start = 7'000 * kMs;
    QUICDeliveryMeter meter(start);
    EXPECT_FALSE(meter.ackedKbps(start + 2000 * kMs, 1000));
    EXPECT_EQ(meter.ackedKbps(start + 2001 * kMs, 1000), 0.0);
    meter.recordReceipt(start + 2500 * kMs, start + 2490 * kMs, 1000);
    meter.recordReceipt(start + 2900 * kMs, start + 2890 * kMs, 3000);
    EXPECT_EQ(meter.ackedKbps(start + 3000 * kMs, 1000), 4000.0 * 8 / 1000);
    EXPECT_EQ(meter.ackedKbps(start + 3600 * kMs, 1000), 3000.0 * 8 / 1000);
    // Only the newest 512 receipts are kept.
    for (int i = 0; i < 600; ++i) {
        meter.recordReceipt(start + 4000 * kMs, start + 3990 * kMs, 10);
    }
    EXPECT_EQ(meter.ackedKbps(start + 4000 * kMs, 1000), 512.0 * 10 * 8 / 1000);
}

TEST(QUICMediaSink, FramesTravelOnStreamsOfTheirOwnAndLeaveTheTableOnReceipt) {
    IoThread io;
    SinkFixture fixture(io);
    size_t expectedBytes = 0;
    io.call([&] {
        EXPECT_TRUE(fixture.sink->isConnected());
        for (int i = 0; i < 30; ++i) {
            auto sent = frame(static_cast<uint8_t>(i % 3), i == 0, 100 * 1024);
            auto bytes = message(sent);
            expectedBytes += bytes->size();
            fixture.sink->send(sent, bytes);
        }
        EXPECT_TRUE(fixture.sink->hasKeyframeInFlight());
        EXPECT_TRUE(fixture.sink->hasKeyframeInFlightForTier(0));
        EXPECT_FALSE(fixture.sink->hasKeyframeInFlightForTier(1));
    });
    ASSERT_TRUE(fixture.eventually([&] { return fixture.sink->diagnostics().empty(); }));
    io.call([&] {
        EXPECT_EQ(fixture.framesReceived, 30);
        EXPECT_EQ(fixture.bytesReceived, expectedBytes);
        EXPECT_EQ(fixture.sink->sequence(), 30u);
        EXPECT_EQ(fixture.sink->congestion(), SinkCongestion::none);
        EXPECT_FALSE(fixture.sink->hasKeyframeInFlight());
        EXPECT_EQ(fixture.sink->oldestInFlightAge(0), 0.0);
    });
}

TEST(QUICMediaSink, AsksForRotationOnceAndCarriesAtMost4080FrameStreams) {
    IoThread io;
    SinkFixture fixture(io);
    int rotations = 0;
    io.call([&] {
        fixture.sink->setRotationHandler([&] { ++rotations; });
        auto sent = frame(0, false, 10);
        auto bytes = message(sent);
        for (int i = 1; i <= 3499; ++i) {
            fixture.sink->send(sent, bytes);
        }
        EXPECT_EQ(rotations, 0);
        fixture.sink->send(sent, bytes);
        EXPECT_EQ(rotations, 1);
        for (int i = 3501; i <= 4079; ++i) {
            fixture.sink->send(sent, bytes);
        }
        EXPECT_TRUE(fixture.sink->isConnected());
        fixture.sink->send(sent, bytes);
        EXPECT_EQ(fixture.sink->sequence(), 4080u);
        EXPECT_FALSE(fixture.sink->isConnected());
        fixture.sink->send(sent, bytes);
        EXPECT_EQ(fixture.sink->sequence(), 4080u);
        EXPECT_EQ(rotations, 1);
    });
    ASSERT_TRUE(fixture.eventually([&] { return fixture.framesReceived == 4080; }));
}

TEST(QUICMediaSink, StaleFramesAreGivenUpWhenTheNextOneIsSent) {
    IoThread io;
    SinkFixture fixture(io, /*viewerHolds=*/true);
    uint64_t start = fixture.now;
    io.call([&] {
        fixture.sink->send(frame(0, false), message(frame(0, false)));
        fixture.sink->send(frame(1, true), message(frame(1, true)));
        fixture.now = start + 200 * kMs;
        fixture.sink->send(frame(0, false), message(frame(0, false)));
        // Exactly 200 ms old is not stale yet.
        EXPECT_EQ(fixture.sink->diagnostics(), "200ms 200msK 0ms");
        // Ages count beyond the path's round trip; on loopback that is a millisecond when the handshake
        // packets were paced, else nothing.
        const double roundTrip = std::floor(double(fixture.senderSide->stats().minimumRttNs) / 1e6);
        EXPECT_EQ(fixture.sink->oldestInFlightAge(0), 200.0 - roundTrip);
        EXPECT_EQ(fixture.sink->congestion(), SinkCongestion::severe);
        EXPECT_EQ(fixture.sink->congestionForTier(1), SinkCongestion::none);
        fixture.now = start + 201 * kMs;
        fixture.sink->send(frame(2, false), message(frame(2, false)));
        EXPECT_EQ(fixture.sink->diagnostics(), "201msK 1ms 0ms");
        fixture.now = start + 3000 * kMs;
        fixture.sink->send(frame(2, false), message(frame(2, false)));
        EXPECT_EQ(fixture.sink->diagnostics(), "3000msK 0ms");
        fixture.now = start + 3001 * kMs;
        fixture.sink->send(frame(2, false), message(frame(2, false)));
        EXPECT_EQ(fixture.sink->diagnostics(), "1ms 0ms");

        fixture.sink->cancelTier(2);
        EXPECT_EQ(fixture.sink->diagnostics(), "");
    });
}

TEST(QUICMediaSink, DisposableKeyframesOfAnIntraOnlyEncoderDoNotCountAsKeyframes) {
    IoThread io;
    SinkFixture fixture(io, /*viewerHolds=*/true);
    io.call([&] {
        auto intra = frame(0, true, 1000, /*disposable=*/true);
        fixture.sink->send(intra, message(intra));
        EXPECT_FALSE(fixture.sink->hasKeyframeInFlight());
        EXPECT_EQ(fixture.sink->diagnostics(), "0ms");
    });
}

TEST(QUICMediaSink, AClosedSinkSendsNothingAndEndsTheViewersConnection) {
    IoThread io;
    SinkFixture fixture(io);
    io.call([&] {
        fixture.sink->close();
        EXPECT_FALSE(fixture.sink->isConnected());
        fixture.sink->send(frame(0, true), message(frame(0, true)));
        EXPECT_EQ(fixture.sink->sequence(), 0u);
        EXPECT_EQ(fixture.attachClosures, 1);
        fixture.sink->close();
        EXPECT_EQ(fixture.attachClosures, 1);
    });
    auto error = fixture.viewerClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::closedByPeer);
}

TEST(QUICMediaSink, AViewerThatLeavesTakesTheSinkOffline) {
    IoThread io;
    SinkFixture fixture(io);
    io.call([&] { fixture.viewer->close(0); });
    ASSERT_TRUE(fixture.eventually([&] { return !fixture.sink->isConnected(); }));
}

TEST(QUICMediaSink, AFrameWaitingOnlyForARepairIsNeitherCongestionNorDelay) {
    auto connection = std::make_shared<HandDrivenConnection>();
    uint64_t now = 1'000'000 * kMs;
    auto sink = QUICMediaSink::make(connection, {}, [&now] { return now; });
    auto send = [&](uint8_t tier, uint64_t at) {
        now = at;
        sink->send(frame(tier, false), message(frame(tier, false)));
    };
    const uint64_t start = now;
    send(2, start);  // a packet of it is lost
    send(2, start + 33 * kMs);
    send(0, start + 40 * kMs);  // the main tier yields to the proxy: its frames prove nothing about them
    send(2, start + 66 * kMs);
    now = start + 100 * kMs;
    EXPECT_EQ(sink->congestionForTier(2), SinkCongestion::moderate);
    // The second proxy frame arrives while the first is still being repaired.
    connection->streams[1]->answer();
    EXPECT_EQ(sink->congestionForTier(2), SinkCongestion::none);
    EXPECT_EQ(sink->oldestInFlightAge(2), 34.0);
    // A main-tier frame sent later than a proxy frame may have been held back behind it: still counted.
    send(2, start + 100 * kMs);
    connection->streams[4]->answer();
    now = start + 160 * kMs;
    EXPECT_EQ(sink->oldestInFlightAge(0), 120.0);
    EXPECT_EQ(connection->streams[0]->priority, 2);
    EXPECT_EQ(connection->streams[2]->priority, 0);
}

TEST(QUICMediaSink, FramesCountAsWaitingOnlyBeyondThePathsRoundTrip) {
    auto connection = std::make_shared<HandDrivenConnection>();
    connection->minimumRttNs = 40'700'000;  // whole milliseconds count: 40
    uint64_t now = 1'000'000 * kMs;
    auto sink = QUICMediaSink::make(connection, {}, [&now] { return now; });
    const uint64_t start = now;
    sink->send(frame(2, false), message(frame(2, false)));
    now = start + 33 * kMs;
    sink->send(frame(2, false), message(frame(2, false)));
    struct Case {
        uint64_t elapsedMs;
        SinkCongestion congestion;
        double oldestMs;
    };
    for (const Case& c : {Case{90, SinkCongestion::none, 50}, Case{91, SinkCongestion::moderate, 51},
                          Case{161, SinkCongestion::severe, 121}, Case{60, SinkCongestion::none, 20}}) {
        now = start + c.elapsedMs * kMs;
        EXPECT_EQ(sink->congestionForTier(2), c.congestion) << c.elapsedMs;
        EXPECT_EQ(sink->oldestInFlightAge(2), c.oldestMs) << c.elapsedMs;
    }
}
