#include "receiver/session/NativeQUICPlaybackEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <utility>

#include "core/Log.h"
#include "core/QUICConfiguration.h"
#include "receiver/session/PlaybackEngineRegistry.h"
#include "sender/server/QUICMediaSink.h"
#include "support/IoThread.h"
#include "support/LogCapture.h"
#include "support/TestIdentity.h"

using namespace kelvora;
using namespace std::chrono_literals;
using kelvora::test::IoThread;
using kelvora::test::Signal;

namespace {

constexpr uint64_t kMs = 1'000'000;
const std::string kToken = "SESSION-TOKEN-1";

std::shared_ptr<const TlsIdentity> senderIdentity() {
    static auto identity =
        TlsIdentity::fromPkcs12(test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "pw"), "pw");
    return identity;
}

std::string senderFingerprint() {
    return QUICConfiguration::fingerprint(senderIdentity()->certificateDer());
}

EncodedVideoFrame frameNumbered(uint64_t number, size_t bytes) {
    Bytes payload(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        payload[i] = static_cast<uint8_t>(i * 13 + number);
    }
    return EncodedVideoFrame::make(
        VideoCodec::h264, number == 1 ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{}, 0,
        number, std::nullopt, 0, 0, {1280, 720}, 8000, {}, std::move(payload));
}

// The session's side of the engine: frames and failures, read from the test thread.
class RecordingOutput final : public PlaybackOutput {
  public:
    void receive(EncodedVideoFrame frame, uint64_t) override {
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
        changed_.notify_all();
    }
    void displayDecodedFrame(PixelBuffer, std::optional<uint64_t>, std::optional<VideoCodec>) override {}
    void mediaChannelFailed(std::exception_ptr error) override {
        std::lock_guard lock(mutex_);
        ++failures_;
        failed_.set(error);
    }

    void expect(size_t count) {
        std::lock_guard lock(mutex_);
        expected_ = count;
    }
    bool waitForExpected() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] { return frames_.size() >= expected_; });
    }
    std::vector<EncodedVideoFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    int failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    Signal<std::exception_ptr> failed_;

  private:
    std::mutex mutex_;
    std::vector<EncodedVideoFrame> frames_;
    size_t expected_ = SIZE_MAX;
    std::condition_variable changed_;
    int failures_ = 0;
};

class SilentControl final : public PlaybackControlChannel {
  public:
    void send(ControlMessage) override {}
};

// The sender's side: a QUIC listener that binds every attached connection to a media sink, as the
// sender's engine does for a known session token.
class SenderHarness {
  public:
    explicit SenderHarness(IoThread& io) : io_(io) {
        listener_ = io.call([&] {
            auto listener =
                QuicListener::listen(io.context(), QUICConfiguration::serverParameters(senderIdentity()),
                                     asio::ip::address_v4::loopback());
            listener->setConnectionHandler(
                [this](std::shared_ptr<QuicConnection> connection) { accept(connection); });
            return listener;
        });
    }
    ~SenderHarness() { release(); }

    void release() {
        if (std::exchange(released_, true)) {
            return;
        }
        io_.call([&] {
            for (auto& sink : sinks_) {
                sink->close();
            }
            sinks_.clear();
            pending_.clear();
            connections_.clear();
            if (listener_) {
                listener_->stop();
                listener_.reset();
            }
        });
    }

    uint16_t port() const { return port_ ? port_ : (port_ = listener_->port()); }

    // The n-th sink (from 1), once its viewer attached.
    std::shared_ptr<QUICMediaSink> sink(size_t n) {
        for (int i = 0; i < 4000; ++i) {
            auto found = io_.call([&]() -> std::shared_ptr<QUICMediaSink> {
                return sinks_.size() >= n ? sinks_[n - 1] : nullptr;
            });
            if (found) {
                return found;
            }
            std::this_thread::sleep_for(5ms);
        }
        return nullptr;
    }
    size_t sinkCount() {
        return io_.call([&] { return sinks_.size(); });
    }

    // Opens a stream of its own on the first connection and sends `bytes` on it, as a sender that does not
    // keep to the one-frame-per-stream rule would. The flag tells when the viewer has ended the stream.
    std::shared_ptr<std::atomic<bool>> sendOnRawStream(Bytes bytes) {
        auto closed = std::make_shared<std::atomic<bool>>(false);
        io_.call([&] {
            auto stream = connections_.front()->openStream();
            ASSERT_TRUE(stream);
            stream->setHandlers({{}, [closed](const std::optional<QuicError>&) { *closed = true; }});
            stream->send(std::move(bytes), false);
            pending_.push_back(stream);
        });
        return closed;
    }

    std::function<void()> onRotation;
    std::vector<std::string> tokens;

  private:
    void accept(const std::shared_ptr<QuicConnection>& connection) {
        connections_.push_back(connection);
        connection->setHandlers(
            {{},
             [this, weak = std::weak_ptr<QuicConnection>(connection)](std::shared_ptr<QuicStream> stream) {
                 auto parser = std::make_shared<ControlMessageParser>();
                 pending_.push_back(stream);
                 stream->setHandlers({[this, weak, stream, parser](std::span<const uint8_t> data, bool) {
                                          for (auto& message : parser->append(data).messages) {
                                              if (const auto* attach = message.get<MediaAttachMessage>()) {
                                                  bind(weak.lock(), stream, attach->sessionToken);
                                              }
                                          }
                                      },
                                      {}});
             },
             {}});
    }

    void bind(const std::shared_ptr<QuicConnection>& connection,
              const std::shared_ptr<QuicStream>& attachStream, const std::string& token) {
        if (!connection) {
            return;
        }
        tokens.push_back(token);
        // A frozen clock: no frame ever goes stale, however slowly a loaded machine runs this test.
        auto sink = QUICMediaSink::make(
            connection, [attachStream] { attachStream->cancel(0); },
            [frozen = MonotonicClock::now()] { return frozen; });
        sink->setRotationHandler([this] {
            if (onRotation) {
                onRotation();
            }
        });
        sinks_.push_back(sink);
    }

    IoThread& io_;
    bool released_ = false;
    std::shared_ptr<QuicListener> listener_;
    mutable uint16_t port_ = 0;
    std::vector<std::shared_ptr<QUICMediaSink>> sinks_;
    std::vector<std::shared_ptr<QuicStream>> pending_;
    std::vector<std::shared_ptr<QuicConnection>> connections_;
};

// An engine on a session queue of its own, started against the harness. The engine's clock stands still:
// a frame stream is never given up as silent and a second lost connection always follows the first within
// the reopening interval, however slowly a loaded machine runs the test. With a running clock, streams that
// take more than two seconds to arrive let the next stream prune the first, and the outcome would depend on
// the machine's speed.
class EngineFixture {
  public:
    explicit EngineFixture(SenderHarness& sender, SerialQueue::Duration retireAfter = 10s)
        : queue(std::make_shared<SerialQueue>(SerialQueue::labelFor("receiver.session"))),
          output(std::make_shared<RecordingOutput>()),
          engine(std::make_shared<NativeQUICPlaybackEngine>(
              [frozen = MonotonicClock::now()] { return frozen; }, retireAfter)),
          sender_(sender) {}
    ~EngineFixture() {
        queue->sync([&] {
            engine->stop();
            engine.reset();
        });
    }

    PlaybackEngineContext context(std::map<std::string, std::string> parameters,
                                  std::optional<std::string> host = "127.0.0.1") {
        PlaybackEngineContext context;
        context.welcome.sessionToken = kToken;
        context.welcome.engine = EngineKind::quic();
        context.welcome.engineParameters = std::move(parameters);
        context.senderHost = std::move(host);
        context.queue = queue;
        context.control = std::make_shared<SilentControl>();
        context.output = output;
        return context;
    }
    PlaybackEngineContext validContext(std::string fingerprint = senderFingerprint()) {
        return context({{"quicPort", std::to_string(sender_.port())}, {"quicFingerprint", fingerprint}});
    }
    void start(const PlaybackEngineContext& context) {
        queue->sync([&] { engine->start(context); });
    }

    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<RecordingOutput> output;
    std::shared_ptr<NativeQUICPlaybackEngine> engine;

  private:
    SenderHarness& sender_;
};

}  // namespace

TEST(FrameStreamTracker, CountsOvertakenFramesForOneSecondAndAbandonsSilentStreamsAfterTwo) {
    FrameStreamTracker tracker;
    int first = 0;
    int second = 0;
    int third = 0;
    uint64_t start = 100 * kMs;
    tracker.opened(&first, start);
    tracker.opened(&second, start + 10 * kMs);
    EXPECT_EQ(tracker.framesInFlight(start + 20 * kMs), 0);
    // The second frame overtook the first.
    tracker.completed(&second);
    EXPECT_EQ(tracker.framesInFlight(start + 999 * kMs), 1);
    EXPECT_EQ(tracker.framesInFlight(start + 1000 * kMs), 0);
    tracker.opened(&third, start + 1500 * kMs);
    EXPECT_TRUE(tracker.abandon(start + 2000 * kMs).empty());
    EXPECT_EQ(tracker.abandon(start + 2001 * kMs), std::vector<FrameStreamTracker::Key>{&first});
    tracker.forget(&third);
    EXPECT_TRUE(tracker.abandon(start + 9000 * kMs).empty());
}

TEST(NativeQUICPlaybackEngine, StartRefusesMissingOrMalformedParameters) {
    IoThread io;
    SenderHarness sender(io);
    std::string port = std::to_string(sender.port());
    std::string fingerprint = senderFingerprint();
    EngineFixture fixture(sender);
    std::vector<std::pair<std::map<std::string, std::string>, std::optional<std::string>>> cases = {
        {{}, "127.0.0.1"},
        {{{"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", "70000"}, {"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", "port"}, {"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", ""}, {"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", "0"}, {"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", "-1"}, {"quicFingerprint", fingerprint}}, "127.0.0.1"},
        {{{"quicPort", port}}, "127.0.0.1"},
        {{{"quicPort", port}, {"quicFingerprint", fingerprint}}, std::nullopt},
    };
    for (auto& [parameters, host] : cases) {
        try {
            fixture.start(fixture.context(parameters, host));
            ADD_FAILURE() << "started with " << parameters.size() << " parameters";
        } catch (const NativeQUICPlaybackEngine::QUICError& error) {
            EXPECT_STREQ(error.what(), "Der Sender hat keine QUIC-Parameter geschickt.");
        }
    }
    EXPECT_EQ(fixture.queue->sync([&] { return fixture.engine->linkCount(); }), 0u);
    EXPECT_EQ(sender.sinkCount(), 0u);
}

TEST(NativeQUICPlaybackEngine, SixHundredFramesOfOneHundredKilobytesArriveWholeThroughTheSendersSink) {
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender);
    fixture.start(fixture.validContext());
    auto sink = sender.sink(1);
    ASSERT_TRUE(sink);
    EXPECT_EQ(sender.tokens, std::vector<std::string>{kToken});

    // Thirty frames at a time, the next batch once the last one is in: a fast viewer, no stale frames.
    constexpr uint64_t kFrames = 600;
    std::map<uint64_t, Bytes> sent;
    for (uint64_t batch = 0; batch < kFrames / 30; ++batch) {
        io.call([&] {
            for (uint64_t n = batch * 30 + 1; n <= batch * 30 + 30; ++n) {
                auto frame = frameNumbered(n, 100 * 1024);
                sent[n] = frame.payload;
                sink->send(frame, std::make_shared<const Bytes>(ControlMessage(frame).encoded()));
            }
        });
        fixture.output->expect((batch + 1) * 30);
        ASSERT_TRUE(fixture.output->waitForExpected());
    }
    auto frames = fixture.output->frames();
    ASSERT_EQ(frames.size(), kFrames);
    std::set<uint64_t> numbers;
    for (const auto& frame : frames) {
        numbers.insert(frame.frameNumber);
        EXPECT_EQ(frame.payload, sent[frame.frameNumber]) << "frame " << frame.frameNumber;
    }
    EXPECT_EQ(numbers.size(), kFrames);
    EXPECT_EQ(fixture.output->failures(), 0);
    EXPECT_EQ(fixture.queue->sync([&] { return fixture.engine->framesInFlight(); }), 0);
}

TEST(NativeQUICPlaybackEngine, FrameStreamsTogetherHoldABoundedNumberOfBytes) {
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender);
    fixture.start(fixture.validContext());
    ASSERT_TRUE(sender.sink(1));
    const auto engine = [&](auto read) { return fixture.queue->sync([&] { return read(*fixture.engine); }); };
    const auto waitUntil = [&](auto done) {
        for (int i = 0; i < 12000 && !engine(done); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return engine(done);
    };
    // Streams that each announce a frame of the largest size and never finish it: three of them fit, the
    // fourth is cancelled once it would go beyond the bound.
    constexpr size_t kPart = 20 * 1024 * 1024;
    Bytes partial(ControlMessage::headerLength + kPart, 0x41);
    partial[0] = static_cast<uint8_t>(ControlMessage::TypeCode::videoFrame);
    partial[1] = 0x02, partial[2] = 0, partial[3] = 0, partial[4] = 0;  // 0x2000000 bytes announced
    for (size_t n = 1; n <= 3; ++n) {
        sender.sendOnRawStream(partial);
        ASSERT_TRUE(waitUntil([&](const NativeQUICPlaybackEngine& e) {
            return e.bufferedBytes() == n * partial.size();
        })) << "stream "
            << n;
    }
    const auto fourth = sender.sendOnRawStream(partial);
    ASSERT_TRUE(waitUntil([&](const NativeQUICPlaybackEngine&) { return fourth->load(); }));
    ASSERT_EQ(engine([](const NativeQUICPlaybackEngine& e) { return e.frameStreamCount(); }), 3u);
    EXPECT_EQ(engine([](const NativeQUICPlaybackEngine& e) { return e.bufferedBytes(); }),
              3 * partial.size());
    // A whole frame still finds room beside them; the start of a second message behind it in the same
    // chunk is not kept, and its bytes no longer count.
    const auto frame = frameNumbered(1, 1000);
    Bytes withMore = ControlMessage(frame).encoded();
    withMore.insert(withMore.end(), partial.begin(), partial.begin() + 3);
    sender.sendOnRawStream(withMore);
    fixture.output->expect(1);
    ASSERT_TRUE(fixture.output->waitForExpected());
    EXPECT_EQ(fixture.output->frames().front().payload, frame.payload);
    EXPECT_EQ(fixture.output->failures(), 0);
    EXPECT_EQ(engine([](const NativeQUICPlaybackEngine& e) { return e.bufferedBytes(); }),
              3 * partial.size());
}

TEST(NativeQUICPlaybackEngine, RotationMovesTheViewerToAFreshConnectionWithoutLosingAFrame) {
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender, /*retireAfter=*/300ms);
    // The sender's rotation request reaches the engine over the control connection.
    sender.onRotation = [&] {
        fixture.queue->async([&] {
            fixture.engine->handle({EngineKind::tcp(), std::string(QUICConfiguration::rotateSignal), ""});
            fixture.engine->handle({EngineKind::quic(), "other", ""});
            fixture.engine->handle({EngineKind::quic(), std::string(QUICConfiguration::rotateSignal), ""});
        });
    };
    fixture.start(fixture.validContext());
    auto first = sender.sink(1);
    ASSERT_TRUE(first);

    uint64_t next = 1;
    auto sendOn = [&](const std::shared_ptr<QUICMediaSink>& sink, uint64_t count) {
        io.call([&] {
            for (uint64_t i = 0; i < count; ++i, ++next) {
                auto frame = frameNumbered(next, 200);
                sink->send(frame, std::make_shared<const Bytes>(ControlMessage(frame).encoded()));
            }
        });
        fixture.output->expect(next - 1);
        return fixture.output->waitForExpected();
    };
    for (int batch = 0; batch < 35; ++batch) {
        ASSERT_TRUE(sendOn(first, 100));
    }
    // The 3500th stream asked for rotation; until the new connection attaches, the old one carries on.
    ASSERT_TRUE(sendOn(first, 10));
    auto second = sender.sink(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(sender.tokens, (std::vector<std::string>{kToken, kToken}));
    ASSERT_TRUE(sendOn(second, 200));

    std::set<uint64_t> numbers;
    for (const auto& frame : fixture.output->frames()) {
        numbers.insert(frame.frameNumber);
    }
    EXPECT_EQ(numbers.size(), next - 1);
    EXPECT_EQ(*numbers.rbegin(), next - 1);

    // The old connection is retired after the delay; the new one stays.
    bool retired = false;
    for (int i = 0; i < 4000 && !retired; ++i) {
        retired = io.call([&] { return !first->isConnected(); });
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(retired);
    EXPECT_TRUE(io.call([&] { return second->isConnected(); }));
    EXPECT_EQ(fixture.queue->sync([&] { return fixture.engine->linkCount(); }), 1u);
    EXPECT_EQ(fixture.output->failures(), 0);
}

TEST(NativeQUICPlaybackEngine, AWrongFingerprintFailsTheMediaChannelAfterOneRetry) {
    test::LogCapture log(ViewerLog::network());
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender);
    std::string wrong = senderFingerprint();
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    fixture.start(fixture.validContext(wrong));

    auto error = fixture.output->failed_.wait();
    ASSERT_TRUE(error && *error);
    try {
        std::rethrow_exception(*error);
    } catch (const QuicError& failure) {
        EXPECT_EQ(failure.kind(), QuicError::Kind::handshakeFailed);
    }
    EXPECT_EQ(fixture.output->failures(), 1);
    EXPECT_EQ(sender.sinkCount(), 0u);
    fixture.queue->sync([&] { fixture.engine->stop(); });
    sender.release();
    io.drain();
    // One handshake for the first connection, one for the single reopening.
    EXPECT_EQ(log.count("QUIC: Zertifikat passt nicht zum erwarteten Fingerabdruck"), 2u);
}

TEST(NativeQUICPlaybackEngine, ALostConnectionIsReopenedOnceThenTheMediaChannelFails) {
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender);
    fixture.start(fixture.validContext());
    auto first = sender.sink(1);
    ASSERT_TRUE(first);
    io.call([&] { first->close(); });
    auto second = sender.sink(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(fixture.output->failures(), 0);
    io.call([&] { second->close(); });
    auto error = fixture.output->failed_.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ(fixture.output->failures(), 1);
}

TEST(NativeQUICPlaybackEngine, AfterStopNothingReopens) {
    IoThread io;
    SenderHarness sender(io);
    EngineFixture fixture(sender);
    fixture.start(fixture.validContext());
    auto sink = sender.sink(1);
    ASSERT_TRUE(sink);
    fixture.queue->sync([&] {
        fixture.engine->stop();
        fixture.engine->handle({EngineKind::quic(), std::string(QUICConfiguration::rotateSignal), ""});
        EXPECT_EQ(fixture.engine->linkCount(), 0u);
    });
    bool closed = false;
    for (int i = 0; i < 4000 && !closed; ++i) {
        closed = io.call([&] { return !sink->isConnected(); });
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(closed);
    // A reopen would have set off before this second viewer does: once the second viewer's connection has
    // attached, a reopened one would have attached as well.
    EngineFixture later(sender);
    auto context = later.validContext();
    context.welcome.sessionToken = "LATER";
    later.start(context);
    auto attached = [&] { return io.call([&] { return sender.tokens; }); };
    for (int i = 0; i < 4000 && attached().size() < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(attached(), (std::vector<std::string>{kToken, "LATER"}));
    EXPECT_EQ(fixture.output->failures(), 0);
}

TEST(NativeQUICPlaybackEngine, TheRegistryMakesAQuicEngine) {
    auto engine = PlaybackEngineRegistry::makeEngine(EngineKind::quic());
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->kind(), EngineKind::quic());
    EXPECT_NE(dynamic_cast<NativeQUICPlaybackEngine*>(engine.get()), nullptr);
}
