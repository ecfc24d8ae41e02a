#include "core/FramedConnection.h"
#include "core/TcpByteStream.h"

#include "LoopbackPeer.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace kelvora;
using kelvora::testing::Eventually;
using kelvora::testing::RawListener;
using kelvora::testing::RawPeer;
using namespace std::chrono_literals;

namespace {

struct Recorded {
    enum class Kind { ready, message, closed } kind;
    std::optional<ControlMessage> message;
    std::optional<ConnectionError> error;
};

std::optional<WireError> wireErrorIn(const std::optional<ConnectionError>& error) {
    if (error && std::holds_alternative<WireError>(*error)) {
        return std::get<WireError>(*error);
    }
    return std::nullopt;
}

EncodedVideoFrame videoFrame(uint64_t number, size_t payloadBytes) {
    return EncodedVideoFrame::make(VideoCodec::h264, {}, 0, number, std::nullopt, number, number,
                                   VideoDimensions::hd720(), 5000, {}, Bytes(payloadBytes, 0xAB));
}

StreamInfoMessage streamInfo(const std::string& source) {
    StreamInfoMessage info;
    info.state = StreamInfoMessage::State::live;
    info.sourceName = source;
    info.dimensions = VideoDimensions::hd1080();
    info.frameRate = 30;
    return info;
}

// One FramedConnection on a queue of its own, connected over loopback to a RawPeer driven by the test.
class Loopback {
  public:
    explicit Loopback(int peerReceiveBuffer = 0) : listener(peerReceiveBuffer) {
        connection = FramedConnection::create(
            TcpByteStream::connect(queue, NetworkEndpoint::hostPort("127.0.0.1", listener.port())), queue);
        connection->setEventHandler([this](FramedConnection::Event event) { record(std::move(event)); });
        queue->sync([&] { connection->start(); });
        peer.emplace(listener.accept());
        EXPECT_TRUE(waitFor(Recorded::Kind::ready)) << "the connection never became ready";
    }

    ~Loopback() {
        if (connection) {
            connection->close(std::nullopt);
        }
        queue->sync([] {});
    }

    void record(FramedConnection::Event event) {
        EXPECT_TRUE(queue->isCurrent());
        if (std::holds_alternative<FramedConnection::Ready>(event)) {
            events.push({Recorded::Kind::ready, {}, {}});
        } else if (auto* message = std::get_if<FramedConnection::Message>(&event)) {
            events.push({Recorded::Kind::message, message->message, {}});
        } else {
            events.push({Recorded::Kind::closed, {}, std::get<FramedConnection::Closed>(event).error});
        }
    }

    std::optional<Recorded> waitFor(Recorded::Kind kind, std::chrono::milliseconds limit = 10s) {
        return events.waitFor([kind](const Recorded& r) { return r.kind == kind; }, limit);
    }

    bool waitForMessages(size_t count) {
        return events.waitUntil([count](const std::vector<Recorded>& all) {
            return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const Recorded& r) {
                       return r.kind == Recorded::Kind::message;
                   })) >= count;
        });
    }

    size_t count(Recorded::Kind kind) const {
        size_t n = 0;
        for (const auto& r : events.values()) {
            n += r.kind == kind;
        }
        return n;
    }

    std::vector<ControlMessage> messages() const {
        std::vector<ControlMessage> result;
        for (const auto& r : events.values()) {
            if (r.kind == Recorded::Kind::message) {
                result.push_back(*r.message);
            }
        }
        return result;
    }

    // Waits (within a limit) until both counters are back at zero.
    bool countersDrain() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (queue->sync(
                    [&] { return connection->pendingBytes() == 0 && connection->pendingFrames() == 0; })) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    RawListener listener;
    std::shared_ptr<FramedConnection> connection;
    std::optional<RawPeer> peer;
    Eventually<Recorded> events;
};

}  // namespace

TEST(FramedConnection, DeliversMessagesInOrderAndSendsThemWhole) {
    Loopback loop;
    loop.peer->sendMessage(streamInfo("A"));
    loop.peer->sendMessage(GoodbyeMessage{"later"});
    ASSERT_TRUE(loop.waitForMessages(2));
    EXPECT_EQ(loop.messages()[0], ControlMessage(streamInfo("A")));
    EXPECT_EQ(loop.messages()[1], ControlMessage(GoodbyeMessage{"later"}));

    loop.queue->sync([&] { loop.connection->send(streamInfo("B")); });
    EXPECT_EQ(loop.peer->readMessage(), ControlMessage(streamInfo("B")));
    EXPECT_EQ(loop.count(Recorded::Kind::ready), 1u);
    EXPECT_EQ(loop.count(Recorded::Kind::closed), 0u);
}

TEST(FramedConnection, ZeroLengthPayloadIsDeliveredWithoutWaitingForMore) {
    Loopback loop;
    loop.peer->sendAll(Bytes{0x0F, 0, 0, 0, 0});  // goodbye with an empty reason
    auto goodbye = loop.events.waitFor([](const Recorded& r) { return r.kind == Recorded::Kind::message; });
    ASSERT_TRUE(goodbye);
    EXPECT_EQ(goodbye->message, ControlMessage(GoodbyeMessage{""}));
    // The next header is read at once after the empty payload.
    loop.peer->sendMessage(RestartSourceMessage{});
    ASSERT_TRUE(loop.waitForMessages(2));
    EXPECT_TRUE(loop.messages()[1].is<RestartSourceMessage>());
}

TEST(FramedConnection, UndecodablePayloadIsSkippedAndTheConnectionStays) {
    Loopback loop;
    loop.peer->sendAll(Bytes{0x01, 0, 0, 0, 1, '{'});  // a hello that is not JSON
    loop.peer->sendMessage(streamInfo("after"));
    auto next = loop.waitFor(Recorded::Kind::message);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->message, ControlMessage(streamInfo("after")));
    loop.queue->sync([&] { loop.connection->send(streamInfo("still here")); });
    EXPECT_EQ(loop.peer->readMessage(), ControlMessage(streamInfo("still here")));
    EXPECT_EQ(loop.count(Recorded::Kind::closed), 0u);
    EXPECT_EQ(loop.messages().size(), 1u);
}

TEST(FramedConnection, BadHeaderClosesWithItsErrorAndWithoutGoodbye) {
    for (const auto& [header, expected] : std::vector<std::pair<Bytes, WireError>>{
             {Bytes{0x04, 0, 0, 0, 0}, WireError::unknownMessageType(0x04)},
             {Bytes{0x01, 0x02, 0, 0, 0x01}, WireError::messageTooLarge(0x2000001)},
             // A record longer than any real one (a welcome with megabytes of name) is refused at its header.
             {Bytes{0x02, 0, 0x01, 0, 0x01}, WireError::messageTooLarge(0x10001)}}) {
        Loopback loop;
        loop.peer->sendAll(header);
        auto closed = loop.waitFor(Recorded::Kind::closed);
        ASSERT_TRUE(closed);
        EXPECT_EQ(wireErrorIn(closed->error), expected);
        RawPeer::Outcome outcome{};
        EXPECT_FALSE(loop.peer->readMessage(&outcome)) << "a goodbye was sent after a bad header";
        EXPECT_NE(outcome, RawPeer::Outcome::timeout) << "the connection stayed open";
    }
}

TEST(FramedConnection, ShortPayloadClosesAsTruncatedAndAnOrderlyEndWithoutError) {
    {
        Loopback loop;
        loop.peer->sendAll(Bytes{0x03, 0, 0, 0, 10, '{', '"', 'a'});
        loop.peer->shutdownSending();
        auto closed = loop.waitFor(Recorded::Kind::closed);
        ASSERT_TRUE(closed);
        EXPECT_EQ(wireErrorIn(closed->error), WireError::truncated());
    }
    {
        Loopback loop;
        loop.peer->sendMessage(streamInfo("last"));
        loop.peer->shutdownSending();
        auto closed = loop.waitFor(Recorded::Kind::closed);
        ASSERT_TRUE(closed);
        EXPECT_FALSE(closed->error.has_value());
        EXPECT_EQ(loop.messages().size(), 1u);
    }
}

TEST(FramedConnection, CloseSendsOneGoodbyeThenEndsAndNothingAfter) {
    Loopback loop;
    std::vector<std::optional<ConnectionError>> late;
    loop.queue->sync([&] {
        loop.connection->send(streamInfo("before"));
        loop.connection->close("sender stopped");
        loop.connection->close("twice");
    });
    auto closed = loop.waitFor(Recorded::Kind::closed);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->error.has_value());
    loop.queue->sync([&] {
        // Sends after the close reach nobody and say so.
        loop.connection->send(streamInfo("after"), false,
                              [&](std::optional<ConnectionError> error) { late.push_back(error); });
        loop.connection->sendEncoded(
            std::make_shared<const Bytes>(ControlMessage(videoFrame(1, 10)).encoded()), true, false,
            [&](std::optional<ConnectionError> error) { late.push_back(error); });
    });
    ASSERT_EQ(late.size(), 2u);
    for (const auto& error : late) {
        ASSERT_TRUE(error && std::holds_alternative<std::error_code>(*error));
        EXPECT_EQ(std::get<std::error_code>(*error), std::make_error_code(std::errc::not_connected));
    }

    EXPECT_EQ(loop.peer->readMessage(), ControlMessage(streamInfo("before")));
    EXPECT_EQ(loop.peer->readMessage(), ControlMessage(GoodbyeMessage{"sender stopped"}));
    RawPeer::Outcome outcome{};
    EXPECT_FALSE(loop.peer->readMessage(&outcome));
    EXPECT_EQ(outcome, RawPeer::Outcome::endOfStream);
    EXPECT_EQ(loop.count(Recorded::Kind::closed), 1u);
}

TEST(FramedConnection, CloseWithAnUnencodableGoodbyeStillEnds) {
    Loopback loop;
    loop.connection->close(std::string(0x2000001, 'x'));
    auto closed = loop.waitFor(Recorded::Kind::closed);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->error.has_value());
    RawPeer::Outcome outcome{};
    EXPECT_FALSE(loop.peer->readMessage(&outcome));
    EXPECT_NE(outcome, RawPeer::Outcome::timeout);
}

TEST(FramedConnection, PendingCountersAreExactAndReturnToZero) {
    Loopback loop;
    const auto frame = std::make_shared<const Bytes>(ControlMessage(videoFrame(7, 1000)).encoded());
    const auto info = ControlMessage(streamInfo("x")).encoded();
    std::atomic<int> completions{0};
    loop.queue->sync([&] {
        loop.connection->sendEncoded(frame, true, false, [&](auto error) { completions += !error; });
        loop.connection->send(streamInfo("x"), false, [&](auto error) { completions += !error; });
        loop.connection->sendEncoded(frame, true, false, [&](auto error) { completions += !error; });
        // Nothing can have completed yet: completions run on this very queue.
        EXPECT_EQ(loop.connection->pendingBytes(), static_cast<int64_t>(2 * frame->size() + info.size()));
        EXPECT_EQ(loop.connection->pendingFrames(), 2);
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(loop.peer->readMessage());
    }
    EXPECT_TRUE(loop.countersDrain());
    EXPECT_EQ(completions.load(), 3);
}

TEST(FramedConnection, StalledReaderMakesPendingBytesGrowWithinAFewFrames) {
    Loopback loop(16 * 1024);  // a viewer with a small receive window that stops reading
    const size_t frameBytes = 64 * 1024;
    Eventually<int> completed;
    int stalledAt = -1;
    const int limit = 24;
    for (int i = 0; i < limit && stalledAt < 0; ++i) {
        const auto frame = std::make_shared<const Bytes>(ControlMessage(videoFrame(i, frameBytes)).encoded());
        loop.queue->sync([&] {
            loop.connection->sendEncoded(frame, true, false, [&completed, i](auto) { completed.push(i); });
        });
        // A healthy path takes a frame at once. Whether it did is decided on the connection's queue, where
        // completions run, so a slow send that completes after the wait counts as taken, not as stalled.
        completed.waitFor([i](int n) { return n == i; }, 1s);
        loop.queue->sync([&] {
            if (loop.connection->pendingFrames() == 0) {
                return;
            }
            stalledAt = i;
            EXPECT_GE(loop.connection->pendingBytes(), static_cast<int64_t>(frameBytes));
            for (int extra = 0; extra < 2; ++extra) {
                loop.connection->sendEncoded(
                    std::make_shared<const Bytes>(
                        ControlMessage(videoFrame(i + 1 + extra, frameBytes)).encoded()),
                    true, false);
            }
            // What the TCP media sink reads as severe congestion.
            EXPECT_GE(loop.connection->pendingFrames(), 3);
        });
    }
    ASSERT_GE(stalledAt, 0) << "pending sends never grew: " << limit << " frames of 64 KiB all went out";
    // The viewer reads again: every frame arrives, in order, and the counters fall back to zero.
    for (int i = 0; i <= stalledAt + 2; ++i) {
        auto message = loop.peer->readMessage();
        ASSERT_TRUE(message && message->is<EncodedVideoFrame>());
        EXPECT_EQ(message->get<EncodedVideoFrame>()->frameNumber, static_cast<uint64_t>(i));
    }
    EXPECT_TRUE(loop.countersDrain());
}

TEST(FramedConnection, CloseWithGoodbyeEndsEvenWhenThePeerStoppedReading) {
    Loopback loop(16 * 1024);
    std::atomic<int> completions{0};
    std::atomic<int> failed{0};
    const int frames = 40;  // 2.5 MiB: far more than the path holds
    loop.queue->sync([&] {
        for (int i = 0; i < frames; ++i) {
            loop.connection->sendEncoded(
                std::make_shared<const Bytes>(ControlMessage(videoFrame(i, 64 * 1024)).encoded()), true,
                false, [&](auto error) {
                    ++completions;
                    failed += error.has_value();
                });
        }
        loop.connection->close("sender stopped");
    });
    auto closed = loop.waitFor(Recorded::Kind::closed);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->error.has_value());
    // After the grace period the sender gives up on the goodbye: every send completes, most with an error,
    // and the counters return to zero.
    EXPECT_TRUE(loop.countersDrain());
    EXPECT_EQ(completions.load(), frames);
    EXPECT_GT(failed.load(), 0);
    // The connection is really gone: reading on, the peer comes to its end instead of waiting forever.
    RawPeer::Outcome outcome = RawPeer::Outcome::data;
    Bytes chunk;
    while (outcome == RawPeer::Outcome::data) {
        outcome = loop.peer->readExact(64 * 1024, chunk, 10s);
    }
    EXPECT_NE(outcome, RawPeer::Outcome::timeout);
}

TEST(FramedConnection, SendsOfAReleasedConnectionStillComplete) {
    auto loop = std::make_unique<Loopback>(16 * 1024);
    Eventually<bool> results;  // true for an error
    const int frames = 40;
    loop->queue->sync([&] {
        for (int i = 0; i < frames; ++i) {
            loop->connection->sendEncoded(
                std::make_shared<const Bytes>(ControlMessage(videoFrame(i, 64 * 1024)).encoded()), true,
                false, [&](auto error) { results.push(error.has_value()); });
        }
    });
    // The owner lets go without closing.
    auto queue = loop->queue;
    queue->sync([&] { loop->connection.reset(); });
    ASSERT_TRUE(results.waitUntil([&](const std::vector<bool>& all) { return all.size() == frames; }))
        << "only " << results.values().size() << " of " << frames << " completions arrived";
    const auto all = results.values();
    EXPECT_TRUE(all.back()) << "the last send cannot have gone out";
    loop.reset();
}

TEST(FramedConnection, UnencodableMessageFailsItsSendOnly) {
    Loopback loop;
    std::optional<std::optional<ConnectionError>> result;
    loop.queue->sync([&] {
        loop.connection->send(GoodbyeMessage{std::string(0x2000001, 'x')}, false,
                              [&](std::optional<ConnectionError> error) { result = error; });
        EXPECT_EQ(loop.connection->pendingBytes(), 0);
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(wireErrorIn(*result), WireError::messageTooLarge(0x2000001));
    loop.queue->sync([&] { loop.connection->send(streamInfo("fine")); });
    EXPECT_EQ(loop.peer->readMessage(), ControlMessage(streamInfo("fine")));
}

TEST(FramedConnection, RefusedConnectionClosesWithTheNetworkError) {
    uint16_t port = 0;
    {
        RawListener unused;
        port = unused.port();
    }
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    auto connection = FramedConnection::create(
        TcpByteStream::connect(queue, NetworkEndpoint::hostPort("127.0.0.1", port)), queue);
    Eventually<std::optional<ConnectionError>> closed;
    int readyEvents = 0;
    connection->setEventHandler([&](FramedConnection::Event event) {
        if (auto* c = std::get_if<FramedConnection::Closed>(&event)) {
            closed.push(c->error);
        } else if (std::holds_alternative<FramedConnection::Ready>(event)) {
            ++readyEvents;
        }
    });
    Eventually<std::optional<ConnectionError>> early;
    queue->sync([&] {
        connection->start();
        // Queued while connecting: it can never go out, and must say so.
        connection->send(streamInfo("too early"), false, [&](auto result) { early.push(result); });
    });
    auto error = closed.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(error);
    auto earlyResult = early.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(earlyResult);
    EXPECT_TRUE(earlyResult->has_value());
    ASSERT_TRUE(error->has_value() && std::holds_alternative<std::error_code>(**error));
    EXPECT_EQ(std::get<std::error_code>(**error), asio::error::connection_refused);
    EXPECT_EQ(queue->sync([&] { return readyEvents; }), 0);
}

TEST(FramedConnection, AcceptedSocketIsAdoptedAndKnowsItsPeer) {
    asio::io_context acceptorContext;
    asio::ip::tcp::acceptor acceptor(acceptorContext, {asio::ip::address_v4::loopback(), 0});
    auto client = RawPeer::connectTo(acceptor.local_endpoint().port());
    asio::ip::tcp::socket accepted = acceptor.accept();
    const auto clientPort = accepted.remote_endpoint().port();

    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    auto connection = FramedConnection::create(TcpByteStream::adopt(queue, std::move(accepted)), queue);
    Eventually<ControlMessage> messages;
    connection->setEventHandler([&](FramedConnection::Event event) {
        if (auto* m = std::get_if<FramedConnection::Message>(&event)) {
            messages.push(m->message);
        }
    });
    queue->sync([&] { connection->start(); });
    client.sendMessage(streamInfo("hello"));
    EXPECT_TRUE(messages.waitFor([](const auto& m) { return m == ControlMessage(streamInfo("hello")); }));
    const auto remote = connection->remoteEndpoint();
    ASSERT_TRUE(remote && remote->asHostPort());
    EXPECT_EQ(remote->asHostPort()->host, "127.0.0.1");
    EXPECT_EQ(remote->asHostPort()->port, clientPort);
    EXPECT_EQ(describeEndpoint(*remote), "127.0.0.1:" + std::to_string(clientPort));
    connection->close(std::nullopt);
    queue->sync([] {});
}

TEST(TcpByteStream, ADualStackListenerShowsIPv4PeersAsIPv4) {
    asio::io_context acceptorContext;
    asio::ip::tcp::acceptor acceptor(acceptorContext);
    std::error_code error;
    acceptor.open(asio::ip::tcp::v6(), error);
    if (error) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    acceptor.set_option(asio::ip::v6_only(false));
    acceptor.bind({asio::ip::address_v6::any(), 0});
    acceptor.listen();
    auto client = RawPeer::connectTo(acceptor.local_endpoint().port());
    asio::ip::tcp::socket accepted = acceptor.accept();
    ASSERT_TRUE(accepted.remote_endpoint().address().is_v6());

    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    auto stream = TcpByteStream::adopt(queue, std::move(accepted));
    const auto remote = stream->remoteEndpoint();
    ASSERT_TRUE(remote && remote->asHostPort());
    EXPECT_EQ(remote->asHostPort()->host, "127.0.0.1");
}

TEST(TcpByteStream, AppliesTheControlConnectionOptions) {
    for (const auto protocol : {asio::ip::tcp::v4(), asio::ip::tcp::v6()}) {
        SCOPED_TRACE(protocol == asio::ip::tcp::v4() ? "IPv4" : "IPv6");
        asio::io_context context;
        asio::ip::tcp::socket socket(context);
        std::error_code error;
        socket.open(protocol, error);
        if (error) {
            continue;  // no IPv6 on this machine
        }
        TcpByteStream::applyOptions(socket);
        auto option = [&](int level, int name) {
            int value = -1;
            socklen_t length = sizeof value;
            ::getsockopt(socket.native_handle(), level, name, &value, &length);
            return value;
        };
        EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 2);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 1);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_NOTSENT_LOWAT), TcpByteStream::notSentLowWaterBytes);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), TcpByteStream::userTimeoutMilliseconds);
        // Media is marked AF41 on both address families a dual-stack socket sends.
        EXPECT_EQ(option(IPPROTO_IP, IP_TOS), 0x88);
        if (protocol == asio::ip::tcp::v6()) {
            EXPECT_EQ(option(IPPROTO_IPV6, IPV6_TCLASS), 0x88);
        }
    }
}

TEST(NetworkEndpoint, DescriptionDropsTheZoneAndNamesServices) {
    EXPECT_EQ(describeEndpoint(NetworkEndpoint::hostPort("fe80::1%en0", 47810)), "fe80::1:47810");
    EXPECT_EQ(describeEndpoint(NetworkEndpoint::hostPort("192.168.1.20", 47810)), "192.168.1.20:47810");
    const auto service = NetworkEndpoint::service("Regie", "_kelvora._tcp", "local", "10.0.0.5", 47811);
    EXPECT_EQ(describeEndpoint(service), "Regie");
    EXPECT_FALSE(endpointHost(service));
    EXPECT_EQ(endpointHost(NetworkEndpoint::hostPort("h", 1)), "h");
    EXPECT_EQ(service.connectTarget(), (NetworkEndpoint::HostPort{"10.0.0.5", 47811}));
}

namespace {

// A stream that reports ready twice, as a connection whose path changes does; receives never complete
// until it is cancelled.
class TwiceReadyStream final : public ByteStream {
  public:
    explicit TwiceReadyStream(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
    void start(StateHandler handler) override {
        handler_ = std::move(handler);
        queue_->async([this] { handler_(State::ready, {}); });
        queue_->async([this] { handler_(State::ready, {}); });
    }
    void receive(std::size_t, ReceiveHandler handler) override {
        ++receives;
        pending_ = std::move(handler);
    }
    void send(std::shared_ptr<const Bytes>, bool, SendHandler handler) override { handler({}); }
    void cancel() override {
        if (pending_) {
            auto handler = std::move(pending_);
            handler(asio::error::operation_aborted, {}, false);
        }
    }
    void forceCancel() override { cancel(); }
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return std::nullopt; }

    int receives = 0;

  private:
    std::shared_ptr<SerialQueue> queue_;
    StateHandler handler_;
    ReceiveHandler pending_;
};

}  // namespace

TEST(FramedConnection, ReadyTwiceIsReportedAndArmedOnce) {
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    auto stream = std::make_shared<TwiceReadyStream>(queue);
    auto connection = FramedConnection::create(stream, queue);
    int ready = 0;
    connection->setEventHandler([&](FramedConnection::Event event) {
        ready += std::holds_alternative<FramedConnection::Ready>(event);
    });
    queue->sync([&] { connection->start(); });
    queue->sync([] {});  // both ready reports have run
    queue->sync([] {});
    EXPECT_EQ(queue->sync([&] { return ready; }), 1);
    EXPECT_EQ(queue->sync([&] { return stream->receives; }), 1);
    queue->sync([&] { connection->close(std::nullopt); });
    queue->sync([] {});
}
