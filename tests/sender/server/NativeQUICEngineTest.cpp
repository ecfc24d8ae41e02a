#include "sender/server/NativeQUICEngine.h"

#include <gtest/gtest.h>

#include <mutex>

#include "core/Log.h"
#include "core/QUICConfiguration.h"
#include "receiver/session/NativeQUICPlaybackEngine.h"
#include "sender/server/QUICMediaSink.h"
#include "sender/server/SenderSession.h"
#include "sender/server/StreamingEngineContext.h"
#include "support/IoThread.h"
#include "support/LogCapture.h"
#include "support/ManualTimers.h"
#include "support/TestIdentity.h"
#include "tests/sender/server/SessionTesting.h"

using namespace kelvora;
using namespace std::chrono_literals;

namespace {

class Frames final : public PlaybackOutput {
  public:
    void receive(EncodedVideoFrame frame, uint64_t) override {
        std::lock_guard lock(mutex);
        numbers.push_back(frame.frameNumber);
    }
    void displayDecodedFrame(PixelBuffer, std::optional<uint64_t>, std::optional<VideoCodec>) override {}
    void mediaChannelFailed(std::exception_ptr) override {
        std::lock_guard lock(mutex);
        ++failures;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return numbers.size();
    }
    int failureCount() {
        std::lock_guard lock(mutex);
        return failures;
    }

    std::mutex mutex;
    std::vector<uint64_t> numbers;
    int failures = 0;
};

class Silent final : public PlaybackControlChannel {
  public:
    void send(ControlMessage) override {}
};

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 4000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

SharedBytes encodedFrame(uint64_t number, size_t size = 300) {
    auto frame = EncodedVideoFrame::make(VideoCodec::h264, {}, 0, number, std::nullopt, 0, 0, {640, 360},
                                         1000, {}, Bytes(size, 7));
    return std::make_shared<const Bytes>(ControlMessage(frame).encoded());
}

// The real listener, with a way for the test to break it as a failing socket would.
class BreakableListener final : public QuicListener {
  public:
    explicit BreakableListener(std::shared_ptr<QuicListener> inner) : inner_(std::move(inner)) {}

    void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) override {
        inner_->setConnectionHandler(std::move(handler));
    }
    void setFailureHandler(std::function<void(const QuicError&)> handler) override {
        failure_ = std::move(handler);
    }
    uint16_t port() const override { return inner_->port(); }
    size_t connectionCount() const override { return inner_->connectionCount(); }
    size_t handshakeCount() const override { return inner_->handshakeCount(); }
    void stop() override { inner_->stop(); }

    void breakDown(const QuicError& error) { failure_(error); }

  private:
    std::shared_ptr<QuicListener> inner_;
    std::function<void(const QuicError&)> failure_;
};

// Opens real listeners and keeps them for the test; the first `refusals` opens fail as a taken port would.
struct Listeners {
    NativeQUICEngine::ListenerFactory factory() {
        return [this](asio::io_context& context, QuicServerParameters parameters,
                      const asio::ip::address& address) {
            if (refusals > 0) {
                --refusals;
                throw QuicError::socket("Die Adresse wird bereits verwendet");
            }
            auto listener = std::make_shared<BreakableListener>(
                QuicListener::listen(context, std::move(parameters), address));
            opened.push_back(listener);
            return listener;
        };
    }
    int refusals = 0;
    std::vector<std::shared_ptr<BreakableListener>> opened;
};

// A sender's server queue with one session, the QUIC engine, and a viewer engine on a queue of its own.
class NativeQUICEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        control = kelvora::testing::makeControlConnection(serverQueue);
        HelloMessage hello;
        hello.clientID = "C1";
        hello.clientName = "iPad Regie";
        hello.protocolVersion = 4;
        hello.engine = EngineKind::quic();
        session = std::make_shared<SenderSession>("T1", hello, control.connection, EngineKind::quic(),
                                                  RateLimits{10000, 300, 40000}, false);
        context = std::make_shared<StreamingEngineContext>(serverQueue, [this](const std::string& token) {
            return token == session->token ? session : nullptr;
        });
    }

    void TearDown() override {
        viewerQueue->sync([&] {
            if (viewer) {
                viewer->stop();
                viewer.reset();
            }
        });
        serverQueue->sync([&] {
            if (session->sink) {
                session->sink->close();
            }
            if (session->pendingSink) {
                session->pendingSink->close();
            }
            if (engine) {
                engine->stop();
                engine.reset();
            }
            session.reset();
        });
    }

    void makeEngine(QUICIdentityStore::Tools tools = {}, std::shared_ptr<TimerSource> timers = nullptr,
                    NativeQUICEngine::ListenerFactory listen = nullptr) {
        tools.temporaryRoot = scratch.path();
        engine = std::make_shared<NativeQUICEngine>(QUICIdentityStore(home.path() / "Kelvora", tools),
                                                    asio::ip::address_v4::loopback(), std::move(timers),
                                                    std::move(listen));
    }

    std::map<std::string, std::string> parameters() {
        return serverQueue->sync([&] { return engine->engineParameters(*session); });
    }

    void startViewer(const std::string& token) {
        PlaybackEngineContext viewerContext;
        viewerContext.welcome.sessionToken = token;
        viewerContext.welcome.engine = EngineKind::quic();
        viewerContext.welcome.engineParameters = parameters();
        viewerContext.senderHost = "127.0.0.1";
        viewerContext.queue = viewerQueue;
        viewerContext.control = std::make_shared<Silent>();
        viewerContext.output = frames;
        viewer = std::make_shared<NativeQUICPlaybackEngine>();
        viewerQueue->sync([&] { viewer->start(viewerContext); });
    }

    std::shared_ptr<QUICMediaSink> currentSink() {
        return serverQueue->sync([&] { return std::dynamic_pointer_cast<QUICMediaSink>(session->sink); });
    }

    test::TemporaryFolder home;
    test::TemporaryFolder scratch;
    std::shared_ptr<SerialQueue> serverQueue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    std::shared_ptr<SerialQueue> viewerQueue =
        std::make_shared<SerialQueue>(SerialQueue::labelFor("session"));
    kelvora::testing::ControlConnection control;
    std::shared_ptr<SenderSession> session;
    std::shared_ptr<StreamingEngineContext> context;
    std::shared_ptr<NativeQUICEngine> engine;
    std::shared_ptr<Frames> frames = std::make_shared<Frames>();
    std::shared_ptr<NativeQUICPlaybackEngine> viewer;
};

}  // namespace

TEST_F(NativeQUICEngineTest, AnnouncesPortAndFingerprintOnceListeningAndBindsTheViewerBySessionToken) {
    makeEngine();
    EXPECT_TRUE(parameters().empty());
    EXPECT_EQ(engine->statusDetail(), "nicht gestartet");
    serverQueue->sync([&] { engine->start(context); });

    auto announced = parameters();
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_NE(announced["quicPort"], "0");
    EXPECT_EQ(engine->statusDetail(), "UDP-Port " + announced["quicPort"]);
    EXPECT_EQ(announced["quicFingerprint"], QUICIdentityStore(home.path() / "Kelvora").load().fingerprint);

    startViewer("T1");
    ASSERT_TRUE(eventually([&] {
        auto sink = currentSink();
        return sink && serverQueue->sync([&] { return sink->isConnected(); });
    }));
    serverQueue->sync([&] {
        for (uint64_t n = 1; n <= 20; ++n) {
            session->sink->send(EncodedVideoFrame{}, encodedFrame(n));
        }
    });
    ASSERT_TRUE(eventually([&] { return frames->count() == 20; }));

    // Stopping ends the offer, not the viewers already bound.
    serverQueue->sync([&] { engine->stop(); });
    EXPECT_TRUE(parameters().empty());
    EXPECT_TRUE(serverQueue->sync([&] { return session->sink->isConnected(); }));
    EXPECT_EQ(frames->failureCount(), 0);
}

TEST_F(NativeQUICEngineTest, AnAttachWithAnUnknownTokenIsAnsweredWithUnknownSession) {
    test::LogCapture log(Log::network());
    makeEngine();
    serverQueue->sync([&] { engine->start(context); });
    startViewer("NO-SUCH-SESSION");
    ASSERT_TRUE(eventually([&] { return frames->failureCount() == 1; }));
    EXPECT_FALSE(currentSink());
    viewerQueue->sync([&] { viewer->stop(); });
    serverQueue->sync([&] { engine->stop(); });
    EXPECT_GE(log.count("QUIC: unbekanntes Session-Token"), 1u);
}

TEST_F(NativeQUICEngineTest,
       TheRotationRequestTravelsOnTheControlConnectionAndTheNewConnectionBecomesPending) {
    makeEngine();
    serverQueue->sync([&] { engine->start(context); });
    startViewer("T1");
    ASSERT_TRUE(eventually([&] { return currentSink() != nullptr; }));
    auto first = currentSink();
    for (uint64_t batch = 0; batch < 35; ++batch) {
        serverQueue->sync([&] {
            for (uint64_t n = batch * 100 + 1; n <= batch * 100 + 100; ++n) {
                session->sink->send(EncodedVideoFrame{}, encodedFrame(n));
            }
        });
        ASSERT_TRUE(eventually([&] { return frames->count() == (batch + 1) * 100; }));
    }
    std::vector<EngineSignalMessage> signals;
    for (const auto& message : kelvora::testing::sentControlMessages(control)) {
        if (const auto* signal = message.get<EngineSignalMessage>()) {
            signals.push_back(*signal);
        }
    }
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0], (EngineSignalMessage{EngineKind::quic(), "rotate", ""}));

    // The viewer's session hands the signal to its engine, which opens a second connection.
    viewerQueue->sync([&] { viewer->handle(signals[0]); });
    ASSERT_TRUE(
        eventually([&] { return serverQueue->sync([&] { return session->pendingSink != nullptr; }); }));
    EXPECT_EQ(currentSink(), first);
    EXPECT_NE(serverQueue->sync([&] { return session->pendingSink; }), first);
}

TEST_F(NativeQUICEngineTest, AnIdentityThatCannotBeMadeLeavesTheEngineUnavailable) {
    test::TemporaryFolder tools;
    auto failing = tools.path() / "openssl";
    std::ofstream(failing) << "#!/bin/sh\necho 'no entropy' >&2\nexit 1\n";
    std::filesystem::permissions(failing, std::filesystem::perms::owner_all);
    makeEngine({failing, {}});

    serverQueue->sync([&] { EXPECT_THROW(engine->start(context), IdentityError); });
    EXPECT_FALSE(engine->isAvailable());
    EXPECT_EQ(engine->statusDetail(), "Zertifikat konnte nicht erzeugt werden: no entropy");
    EXPECT_TRUE(parameters().empty());
    // An unavailable engine is not started again.
    serverQueue->sync([&] { EXPECT_NO_THROW(engine->start(context)); });
    EXPECT_TRUE(parameters().empty());
}

TEST_F(NativeQUICEngineTest, AConnectionThatHasNotAttachedIsClosedAtTheAttachDeadline) {
    for (bool opensStream : {true, false}) {
        SCOPED_TRACE(opensStream ? "half a header on a stream" : "no stream at all");
        auto timers = std::make_shared<kelvora::testing::ManualTimers>();
        makeEngine({}, timers);
        serverQueue->sync([&] { engine->start(context); });
        auto announced = parameters();
        uint16_t port = static_cast<uint16_t>(std::stoi(announced["quicPort"]));
        test::Signal<std::optional<QuicError>> clientClosed;
        std::shared_ptr<QuicConnection> client;
        std::shared_ptr<QuicStream> stream;
        viewerQueue->sync([&] {
            client =
                QuicConnection::connect(viewerQueue->context(), {asio::ip::address_v4::loopback(), port},
                                        QUICConfiguration::clientParameters(announced["quicFingerprint"]));
            client->setHandlers({[&, opensStream] {
                                     if (opensStream) {
                                         stream = client->openStream();
                                         stream->send(Bytes{0x50, 0x00}, false);
                                     }
                                 },
                                 {},
                                 [&](const std::optional<QuicError>& error) { clientClosed.set(error); }});
        });
        ASSERT_TRUE(eventually(
            [&] { return serverQueue->sync([&] { return engine->unattachedConnections(); }) == 1; }));

        timers->advance(4999ms);
        EXPECT_EQ(serverQueue->sync([&] { return engine->unattachedConnections(); }), 1u);
        timers->advance(1ms);
        EXPECT_EQ(serverQueue->sync([&] { return engine->unattachedConnections(); }), 0u);
        auto closed = clientClosed.wait();
        ASSERT_TRUE(closed && *closed);
        EXPECT_EQ((*closed)->kind(), QuicError::Kind::closedByPeer);

        viewerQueue->sync([&] {
            stream.reset();
            client.reset();
        });
        serverQueue->sync([&] { engine->stop(); });
    }
}

TEST_F(NativeQUICEngineTest, AFailedListenerLeavesTheOfferWithItsErrorAndOpensAgainTwoSecondsLater) {
    test::LogCapture log(Log::network());
    auto timers = std::make_shared<kelvora::testing::ManualTimers>();
    Listeners listeners;
    makeEngine({}, timers, listeners.factory());
    serverQueue->sync([&] { engine->start(context); });
    const auto before = parameters();
    ASSERT_EQ(before.size(), 2u);

    // The identity is gone meanwhile: the restart loads (here: makes) it again.
    std::filesystem::remove_all(home.path() / "Kelvora");
    const auto error = QuicError::socket("Netzwerk ist nicht erreichbar");
    serverQueue->sync([&] { listeners.opened.at(0)->breakDown(error); });
    EXPECT_EQ(engine->statusDetail(), "Fehler: " + error.text());
    EXPECT_EQ(log.count("QUIC-Listener fehlgeschlagen: " + error.text()), 1u);
    EXPECT_TRUE(parameters().empty());

    timers->advance(1999ms);
    EXPECT_TRUE(parameters().empty());
    timers->advance(1ms);
    const auto after = parameters();
    ASSERT_EQ(listeners.opened.size(), 2u);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after.at("quicPort"), std::to_string(listeners.opened[1]->port()));
    EXPECT_NE(after.at("quicFingerprint"), before.at("quicFingerprint"));
    EXPECT_EQ(engine->statusDetail(), "UDP-Port " + after.at("quicPort"));
}

TEST_F(NativeQUICEngineTest, AListenerThatCannotOpenLeavesTheOfferOnlyUntilTheNextStart) {
    Listeners listeners;
    listeners.refusals = 1;
    makeEngine({}, nullptr, listeners.factory());
    serverQueue->sync([&] { EXPECT_THROW(engine->start(context), QuicError); });
    EXPECT_FALSE(engine->isAvailable());
    EXPECT_TRUE(parameters().empty());

    serverQueue->sync([&] {
        engine->stop();
        ASSERT_TRUE(engine->isAvailable());
        engine->start(context);
    });
    EXPECT_EQ(parameters().size(), 2u);
}

TEST_F(NativeQUICEngineTest, AFrameOfTheLargestMessageSizeReachesTheViewer) {
    makeEngine();
    serverQueue->sync([&] { engine->start(context); });
    startViewer("T1");
    ASSERT_TRUE(eventually([&] {
        auto sink = currentSink();
        return sink && serverQueue->sync([&] { return sink->isConnected(); });
    }));
    // Larger than the viewer's stream window: it passes only if the viewer returns credit as it reads.
    auto largest = encodedFrame(1, ControlMessage::maximumPayloadLength - 4096);
    ASSERT_GT(largest->size(), QUICConfiguration::initialMaxStreamDataBidirectionalRemote);
    serverQueue->sync([&] { session->sink->send(EncodedVideoFrame{}, largest); });
    ASSERT_TRUE(eventually([&] { return frames->count() == 1; }));
    EXPECT_EQ(frames->failureCount(), 0);
}
