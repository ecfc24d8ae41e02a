#include "platform/QuicEndpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include <sys/socket.h>

#include "support/IoThread.h"
#include "support/TestIdentity.h"

using namespace kelvora;
using namespace std::chrono_literals;
using kelvora::test::IoThread;
using kelvora::test::Signal;

namespace {

using Bytes = std::vector<uint8_t>;
using OptionalError = std::optional<QuicError>;

std::shared_ptr<const TlsIdentity> sharedIdentity() {
    static auto identity = TlsIdentity::fromPkcs12(
        test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "secret"), "secret");
    return identity;
}

QuicTransportOptions options(std::string protocol = "kelvora/1") {
    QuicTransportOptions options;
    options.applicationProtocols = {std::move(protocol)};
    options.idleTimeoutMs = 8000;
    options.initialMaxData = 0x10000000;
    options.initialMaxStreamDataBidiLocal = 0x1000000;
    options.initialMaxStreamDataBidiRemote = 0x1000000;
    options.initialMaxStreamDataUni = 0x1000000;
    options.initialMaxStreamsBidi = 4096;
    options.initialMaxStreamsUni = 16;
    return options;
}

Bytes framePayload(uint32_t index, size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 31 + index * 7) ^ (i >> 8));
    }
    return bytes;
}

// A listener on loopback with a client connected to it, both on one io thread.
class QuicPair {
  public:
    explicit QuicPair(IoThread& io, QuicTransportOptions serverOptions = options(), size_t maxConnections = 0,
                      size_t maxHandshakes = 0)
        : io_(io) {
        listener = io.call([&] {
            QuicServerParameters parameters{serverOptions, sharedIdentity()};
            parameters.maxConnections = maxConnections;
            parameters.maxHandshakes = maxHandshakes;
            auto listener =
                QuicListener::listen(io.context(), std::move(parameters), asio::ip::address_v4::loopback());
            listener->setConnectionHandler([this](std::shared_ptr<QuicConnection> connection) {
                std::lock_guard lock(mutex_);
                ++acceptedCount;
                accepted.set(connection);
            });
            return listener;
        });
    }

    // Connects with the given parameters; the verifier defaults to trusting exactly our identity.
    void connect(QuicClientParameters parameters) {
        client = io_.call([&] {
            auto connection = QuicConnection::connect(
                io_.context(), {asio::ip::address_v4::loopback(), listener->port()}, std::move(parameters));
            connection->setHandlers({[this] { clientReady.set(true); },
                                     {},
                                     [this](const OptionalError& error) { clientClosed.set(error); }});
            return connection;
        });
    }

    // `server` opens a stream and sends `bytes` with its end; what the client read on that stream, whole.
    std::optional<Bytes> sendOnNewStream(const std::shared_ptr<QuicConnection>& server, const Bytes& bytes) {
        Signal<Bytes> received;
        io_.call([&] {
            client->setHandlers({{},
                                 [&](std::shared_ptr<QuicStream> stream) {
                                     stream->setHandlers(
                                         {[&, stream](std::span<const uint8_t> data, bool finished) {
                                              if (finished) {
                                                  received.set(Bytes(data.begin(), data.end()));
                                              }
                                          },
                                          {}});
                                 },
                                 {}});
            server->openStream()->send(bytes, true);
        });
        return received.wait();
    }

    void release() {
        io_.call([&] {
            if (client) {
                client->close(0);
            }
            if (auto server = accepted.isSet() ? *accepted.wait(0ms) : nullptr) {
                server->close(0);
            }
            listener->stop();
            client.reset();
            listener.reset();
        });
    }

    IoThread& io_;
    std::mutex mutex_;
    std::shared_ptr<QuicListener> listener;
    std::shared_ptr<QuicConnection> client;
    Signal<std::shared_ptr<QuicConnection>> accepted;
    int acceptedCount = 0;
    Signal<bool> clientReady;
    Signal<OptionalError> clientClosed;
};

QuicPeerVerifier trusting(const Bytes& certificate) {
    return [certificate](std::span<const uint8_t> leaf) {
        return Bytes(leaf.begin(), leaf.end()) == certificate;
    };
}

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

// A client's first datagram, taken from a real client that was pointed at a socket of ours, so that it can be
// replayed to a listener by a "client" that never answers: a handshake left half open.
Bytes capturedInitial(IoThread& io) {
    asio::io_context local;
    asio::ip::udp::socket trap(local, {asio::ip::address_v4::loopback(), 0});
    timeval limit{10, 0};
    setsockopt(trap.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto client = io.call([&] {
        return QuicConnection::connect(io.context(), trap.local_endpoint(),
                                       {options(), trusting(sharedIdentity()->certificateDer())});
    });
    Bytes datagram(65536);
    asio::ip::udp::endpoint from;
    std::error_code error;
    datagram.resize(trap.receive_from(asio::buffer(datagram), from, 0, error));
    io.call([&] {
        client->close(0);
        client.reset();
    });
    return datagram;
}

}  // namespace

TEST(QuicEndpoint, HandshakeCompletesWhenTheClientTrustsTheServersLeafCertificate) {
    IoThread io;
    QuicPair pair(io);
    Bytes seenLeaf;
    pair.connect({options(), [&](std::span<const uint8_t> leaf) {
                      seenLeaf.assign(leaf.begin(), leaf.end());
                      return true;
                  }});

    ASSERT_TRUE(pair.clientReady.wait());
    auto server = pair.accepted.wait();
    ASSERT_TRUE(server && *server);
    EXPECT_EQ(seenLeaf, sharedIdentity()->certificateDer());
    EXPECT_EQ(io.call([&] { return pair.client->applicationProtocol(); }), "kelvora/1");
    EXPECT_EQ(io.call([&] { return (*server)->applicationProtocol(); }), "kelvora/1");
    EXPECT_TRUE(io.call([&] { return (*server)->isReady(); }));

    // A clean close from the client reaches the server as a close by the peer with code 0; the client
    // itself hears of its own close without an error.
    Signal<OptionalError> serverClosed;
    io.call([&] {
        (*server)->setHandlers({{}, {}, [&](const OptionalError& error) { serverClosed.set(error); }});
        pair.client->close(0);
    });
    auto serverError = serverClosed.wait();
    ASSERT_TRUE(serverError && *serverError);
    EXPECT_EQ((*serverError)->kind(), QuicError::Kind::closedByPeer);
    EXPECT_EQ((*serverError)->code(), 0u);
    auto clientError = pair.clientClosed.wait();
    ASSERT_TRUE(clientError);
    EXPECT_FALSE(*clientError);

    io.call([&] { server->reset(); });
    pair.release();
}

TEST(QuicEndpoint, EachSideLearnsHowLongItsPeerMayDelayAcknowledgements) {
    // The peer's figure sets how soon a lost last packet is resent; each side must announce its own.
    IoThread io;
    QuicTransportOptions serverOptions = options();
    serverOptions.maxAckDelayMs = 7;
    QuicPair pair(io, serverOptions);
    QuicTransportOptions clientOptions = options();
    clientOptions.maxAckDelayMs = 1;
    pair.connect({clientOptions, trusting(sharedIdentity()->certificateDer())});

    ASSERT_TRUE(pair.clientReady.wait());
    auto server = pair.accepted.wait();
    ASSERT_TRUE(server && *server);
    EXPECT_EQ(io.call([&] { return pair.client->stats().peerMaxAckDelayNs; }), 7'000'000u);
    EXPECT_EQ(io.call([&] { return (*server)->stats().peerMaxAckDelayNs; }), 1'000'000u);

    io.call([&] { server->reset(); });
    pair.release();
}

TEST(QuicEndpoint, AnUntrustedCertificateFailsTheHandshakeAndNoConnectionIsHandedOut) {
    IoThread io;
    QuicPair pair(io);
    std::atomic<int> verifications{0};
    pair.connect({options(), [&](std::span<const uint8_t>) {
                      ++verifications;
                      return false;
                  }});

    auto error = pair.clientClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::handshakeFailed);
    EXPECT_EQ(verifications.load(), 1);
    EXPECT_FALSE(pair.clientReady.isSet());
    EXPECT_FALSE(io.call([&] { return pair.client->isReady(); }));
    pair.release();
    io.drain();
    EXPECT_EQ(pair.acceptedCount, 0);
}

TEST(QuicEndpoint, AClientOfferingAnotherApplicationProtocolIsRefused) {
    IoThread io;
    QuicPair pair(io);
    pair.connect({options("other/1"), trusting(sharedIdentity()->certificateDer())});

    auto error = pair.clientClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::handshakeFailed);
    EXPECT_EQ((*error)->code(), 120u);  // no_application_protocol
    pair.release();
    io.drain();
    EXPECT_EQ(pair.acceptedCount, 0);
}

TEST(QuicEndpoint, AClientWithoutAVerifierTrustsNoCertificate) {
    IoThread io;
    QuicPair pair(io);
    pair.connect({options(), nullptr});
    auto error = pair.clientClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::handshakeFailed);
    pair.release();
}

TEST(QuicEndpoint, SixHundredFramesOfOneHundredKilobytesArriveWholeOnStreamsOfTheirOwn) {
    constexpr int kFrames = 600;
    constexpr size_t kFrameBytes = 100 * 1024;
    IoThread io;
    QuicPair pair(io);

    // The client keeps every server-opened stream until its frame is complete, checks it, and finishes
    // its own side, which is the server's receipt.
    std::map<int64_t, Bytes> partial;
    std::vector<int> completedOrder;
    int corrupt = 0;
    Signal<bool> allReceived;
    pair.connect({options(), trusting(sharedIdentity()->certificateDer())});
    io.call([&] {
        pair.client->setHandlers(
            {[&] { pair.clientReady.set(true); },
             [&](std::shared_ptr<QuicStream> stream) {
                 stream->setHandlers({[&, stream](std::span<const uint8_t> data, bool finished) {
                                          auto& bytes = partial[stream->id()];
                                          bytes.insert(bytes.end(), data.begin(), data.end());
                                          if (!finished) {
                                              return;
                                          }
                                          uint32_t index = bytes.size() >= 4 ? (bytes[0] << 8 | bytes[1]) : 0;
                                          Bytes expected = framePayload(index, kFrameBytes);
                                          expected[0] = static_cast<uint8_t>(index >> 8);
                                          expected[1] = static_cast<uint8_t>(index);
                                          if (bytes != expected) {
                                              ++corrupt;
                                          }
                                          completedOrder.push_back(static_cast<int>(index));
                                          partial.erase(stream->id());
                                          stream->finish();
                                          if (completedOrder.size() == kFrames) {
                                              allReceived.set(true);
                                          }
                                      },
                                      {}});
             },
             {}});
    });
    ASSERT_TRUE(pair.clientReady.wait());
    auto server = *pair.accepted.wait();
    ASSERT_TRUE(server);

    int receipts = 0;
    int closedCleanly = 0;
    int openFailures = 0;
    Signal<bool> allClosed;
    io.call([&] {
        for (int i = 0; i < kFrames; ++i) {
            auto stream = server->openStream();
            if (!stream) {
                ++openFailures;
                continue;
            }
            stream->setHandlers({[&](std::span<const uint8_t> data, bool finished) {
                                     if (finished && data.empty()) {
                                         ++receipts;
                                     }
                                 },
                                 [&](const OptionalError& error) {
                                     if (!error) {
                                         ++closedCleanly;
                                     }
                                     if (closedCleanly == kFrames) {
                                         allClosed.set(true);
                                     }
                                 }});
            Bytes payload = framePayload(static_cast<uint32_t>(i), kFrameBytes);
            payload[0] = static_cast<uint8_t>(i >> 8);
            payload[1] = static_cast<uint8_t>(i);
            stream->send(std::move(payload), true);
        }
    });

    ASSERT_TRUE(allReceived.wait(60s));
    ASSERT_TRUE(allClosed.wait(60s));
    io.call([&] {
        EXPECT_EQ(openFailures, 0);
        EXPECT_EQ(corrupt, 0);
        EXPECT_EQ(receipts, kFrames);
        std::vector<int> sorted = completedOrder;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < kFrames; ++i) {
            EXPECT_EQ(sorted[i], i);
        }
        QuicStats stats = server->stats();
        EXPECT_EQ(stats.localStreamsOpen, 0u);
        EXPECT_EQ(stats.localStreamsOpened, static_cast<uint64_t>(kFrames));
        // Closed streams are handed back to the server as fresh credit (the last grants may still be on
        // their way).
        EXPECT_GT(stats.bidiStreamsLeft, 4096u - kFrames / 2);
        EXPECT_GT(stats.smoothedRttNs, 0u);
        server.reset();
    });
    pair.release();
}

TEST(QuicEndpoint, ACancelledStreamEndsWithTheCancellersCodeAtThePeer) {
    IoThread io;
    QuicPair pair(io);
    Signal<OptionalError> clientStreamClosed;
    Signal<bool> firstBytes;
    pair.connect({options(), trusting(sharedIdentity()->certificateDer())});
    io.call([&] {
        pair.client->setHandlers(
            {[&] { pair.clientReady.set(true); },
             [&](std::shared_ptr<QuicStream> stream) {
                 stream->setHandlers({[&](std::span<const uint8_t>, bool) { firstBytes.set(true); },
                                      [&](const OptionalError& error) { clientStreamClosed.set(error); }});
             },
             {}});
    });
    ASSERT_TRUE(pair.clientReady.wait());
    auto server = *pair.accepted.wait();

    Signal<OptionalError> serverStreamClosed;
    auto stream = io.call([&] {
        auto stream = server->openStream();
        stream->setHandlers({{}, [&](const OptionalError& error) { serverStreamClosed.set(error); }});
        stream->send(Bytes(64 * 1024, 7), false);
        return stream;
    });
    // Cancelled while the peer holds part of it, as a sender drops a frame that went stale.
    ASSERT_TRUE(firstBytes.wait());
    io.call([&] { stream->cancel(7); });
    auto atClient = clientStreamClosed.wait();
    ASSERT_TRUE(atClient && *atClient);
    EXPECT_EQ((*atClient)->kind(), QuicError::Kind::closedByPeer);
    EXPECT_EQ((*atClient)->code(), 7u);
    auto atServer = serverStreamClosed.wait();
    ASSERT_TRUE(atServer);
    EXPECT_FALSE(*atServer);
    io.call([&] {
        stream.reset();
        server.reset();
    });
    pair.release();
}

TEST(QuicEndpoint, AConnectionToAPortWhereNothingListensIsRefused) {
    IoThread io;
    uint16_t freePort = io.call([&] {
        asio::ip::udp::socket probe(io.context(), {asio::ip::address_v4::loopback(), 0});
        return probe.local_endpoint().port();
    });
    Signal<OptionalError> closed;
    auto connection = io.call([&] {
        auto connection = QuicConnection::connect(io.context(), {asio::ip::address_v4::loopback(), freePort},
                                                  {options(), [](std::span<const uint8_t>) { return true; }});
        connection->setHandlers({{}, {}, [&](const OptionalError& error) { closed.set(error); }});
        return connection;
    });
    auto error = closed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::refused);
    io.call([&] { connection.reset(); });
}

TEST(QuicEndpoint, AServerConnectionWhosePeerFallsSilentEndsAfterTheIdleTimeout) {
    IoThread serverIo;
    auto shortIdle = options();
    shortIdle.idleTimeoutMs = 300;
    QuicPair pair(serverIo, shortIdle);
    auto clientIo = std::make_unique<IoThread>();
    Signal<bool> ready;
    auto client = clientIo->call([&] {
        auto connection = QuicConnection::connect(clientIo->context(),
                                                  {asio::ip::address_v4::loopback(), pair.listener->port()},
                                                  {shortIdle, trusting(sharedIdentity()->certificateDer())});
        connection->setHandlers({[&] { ready.set(true); }, {}, {}});
        return connection;
    });
    ASSERT_TRUE(ready.wait());
    auto server = *pair.accepted.wait();
    Signal<OptionalError> serverClosed;
    serverIo.call([&] {
        server->setHandlers({{}, {}, [&](const OptionalError& error) { serverClosed.set(error); }});
    });

    // The client's thread stops dead: no acknowledgement, no close.
    clientIo->context().stop();
    clientIo->drain();
    auto error = serverClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::timedOut);

    client.reset();
    clientIo.reset();
    serverIo.call([&] { server.reset(); });
    pair.release();
}

TEST(QuicEndpoint, AStoppedListenerKeepsItsConnectionsButAcceptsNoNewOnes) {
    IoThread io;
    QuicPair pair(io);
    pair.connect({options(), trusting(sharedIdentity()->certificateDer())});
    ASSERT_TRUE(pair.clientReady.wait());
    auto server = *pair.accepted.wait();
    io.call([&] { pair.listener->stop(); });

    // The old connection still carries a stream.
    EXPECT_EQ(pair.sendOnNewStream(server, Bytes{1, 2, 3}), (Bytes{1, 2, 3}));

    // A new client gets no answer; its handshake times out.
    auto quick = options();
    quick.idleTimeoutMs = 300;
    Signal<OptionalError> lateClosed;
    auto late = io.call([&] {
        auto connection =
            QuicConnection::connect(io.context(), {asio::ip::address_v4::loopback(), pair.listener->port()},
                                    {quick, trusting(sharedIdentity()->certificateDer())});
        connection->setHandlers({{}, {}, [&](const OptionalError& error) { lateClosed.set(error); }});
        return connection;
    });
    auto error = lateClosed.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->kind(), QuicError::Kind::timedOut);
    io.call([&] {
        late.reset();
        server.reset();
    });
    pair.release();
}

TEST(QuicEndpoint, AListenerAtItsConnectionOrHandshakeLimitRefusesNewClientsAndKeepsItsOwn) {
    struct Case {
        const char* name;
        size_t maxConnections;
        size_t maxHandshakes;
    };
    for (const Case& c : {Case{"connections", 2, 0}, Case{"handshakes", 0, 1}}) {
        SCOPED_TRACE(c.name);
        IoThread io;
        // The half-open handshake ends by itself once the test is over, not only at the idle timeout.
        auto serverOptions = options();
        serverOptions.handshakeTimeoutMs = 3000;
        QuicPair pair(io, serverOptions, c.maxConnections, c.maxHandshakes);
        pair.connect({options(), trusting(sharedIdentity()->certificateDer())});
        ASSERT_TRUE(pair.clientReady.wait());
        auto server = *pair.accepted.wait();

        // A "client" that sends its first packet and then nothing.
        Bytes initial = capturedInitial(io);
        ASSERT_GE(initial.size(), 1200u);
        asio::io_context local;
        asio::ip::udp::socket silent(local, {asio::ip::address_v4::loopback(), 0});
        silent.send_to(asio::buffer(initial), {asio::ip::address_v4::loopback(), pair.listener->port()});
        ASSERT_TRUE(
            eventually([&] { return io.call([&] { return pair.listener->handshakeCount(); }) == 1; }));
        EXPECT_EQ(io.call([&] { return pair.listener->connectionCount(); }), 2u);

        Signal<OptionalError> refused;
        auto late = io.call([&] {
            auto connection = QuicConnection::connect(
                io.context(), {asio::ip::address_v4::loopback(), pair.listener->port()},
                {options(), trusting(sharedIdentity()->certificateDer())});
            connection->setHandlers({{}, {}, [&](const OptionalError& error) { refused.set(error); }});
            return connection;
        });
        auto error = refused.wait();
        ASSERT_TRUE(error && *error);
        EXPECT_EQ((*error)->kind(), QuicError::Kind::closedByPeer);
        EXPECT_EQ((*error)->code(), 0x2u);
        EXPECT_EQ(io.call([&] { return pair.listener->connectionCount(); }), 2u);

        // The connection that was there first still carries a stream.
        EXPECT_EQ(pair.sendOnNewStream(server, Bytes{4, 5, 6}), (Bytes{4, 5, 6}));
        io.call([&] {
            late.reset();
            server.reset();
        });
        pair.release();
    }
}

TEST(QuicEndpoint, AStreamOfHigherPriorityGoesOutBeforeOneQueuedEarlier) {
    IoThread io;
    QuicPair pair(io);
    std::vector<size_t> finishedSizes;
    Signal<bool> bothFinished;
    pair.connect({options(), trusting(sharedIdentity()->certificateDer())});
    io.call([&] {
        pair.client->setHandlers({[&] { pair.clientReady.set(true); },
                                  [&](std::shared_ptr<QuicStream> stream) {
                                      auto size = std::make_shared<size_t>(0);
                                      stream->setHandlers(
                                          {[&, size](std::span<const uint8_t> data, bool finished) {
                                               *size += data.size();
                                               if (finished) {
                                                   finishedSizes.push_back(*size);
                                                   if (finishedSizes.size() == 2) {
                                                       bothFinished.set(true);
                                                   }
                                               }
                                           },
                                           {}});
                                  },
                                  {}});
    });
    ASSERT_TRUE(pair.clientReady.wait());
    auto server = *pair.accepted.wait();
    // Far more than a first congestion window: without priorities the large stream would go out whole
    // before the small one behind it.
    io.call([&] {
        server->openStream()->send(framePayload(1, 400 * 1024), true);
        auto small = server->openStream();
        small->setPriority(2);
        small->send(framePayload(2, 1000), true);
    });
    ASSERT_TRUE(bothFinished.wait());
    io.call([&] { EXPECT_EQ(finishedSizes, (std::vector<size_t>{1000, 400 * 1024})); });
    io.call([&] { server.reset(); });
    pair.release();
}
