#include "core/QuicByteStream.h"

#include <gtest/gtest.h>

#include <asio/error.hpp>

#include <atomic>
#include <string>

#include "core/FramedConnection.h"
#include "core/QUICConfiguration.h"
#include "support/IoThread.h"
#include "support/TestIdentity.h"

using namespace kelvora;
using kelvora::test::Signal;

namespace {

std::shared_ptr<const TlsIdentity> senderIdentity() {
    static auto identity = TlsIdentity::fromPkcs12(
        test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "pw", "Kelvora Sender"), "pw");
    return identity;
}

// The sender's listener as the product configures it, and one viewer connection to it whose first stream
// carries whatever the test gives it. Streams the viewer opens reach `onStream` on the server queue.
class Loopback {
  public:
    explicit Loopback(std::function<void(std::shared_ptr<QuicStream>)> onStream) {
        listener = serverQueue->sync([&] {
            auto listener = QuicListener::listen(serverQueue->context(),
                                                 QUICConfiguration::serverParameters(senderIdentity()),
                                                 asio::ip::address_v4::loopback());
            listener->setConnectionHandler([this, onStream](std::shared_ptr<QuicConnection> connection) {
                serverConnection = connection;
                connection->setHandlers({{}, onStream, {}});
            });
            return listener;
        });
    }

    ~Loopback() {
        clientQueue->sync([&] {
            if (client) {
                client->close(0);
            }
            clientStream.reset();
            client.reset();
        });
        serverQueue->sync([&] {
            if (serverConnection) {
                serverConnection->close(0);
            }
            serverConnection.reset();
            listener->stop();
            listener.reset();
        });
    }

    // Connects, opens one stream and sends `bytes` on it, then `finish` if asked.
    void send(Bytes bytes, bool finish = false) {
        clientQueue->sync([&] {
            client = QuicConnection::connect(
                clientQueue->context(), {asio::ip::address_v4::loopback(), listener->port()},
                QUICConfiguration::clientParameters(
                    QUICConfiguration::fingerprint(senderIdentity()->certificateDer())));
            client->setHandlers({[this, bytes = std::move(bytes), finish]() mutable {
                                     clientStream = client->openStream();
                                     clientStream->send(std::move(bytes), finish);
                                 },
                                 {},
                                 {}});
        });
    }

    QuicStats serverStats() {
        return serverQueue->sync([&] { return serverConnection ? serverConnection->stats() : QuicStats{}; });
    }

    std::shared_ptr<SerialQueue> serverQueue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    std::shared_ptr<SerialQueue> clientQueue = std::make_shared<SerialQueue>(SerialQueue::labelFor("viewer"));
    std::shared_ptr<QuicListener> listener;
    std::shared_ptr<QuicConnection> serverConnection;
    std::shared_ptr<QuicConnection> client;
    std::shared_ptr<QuicStream> clientStream;
};

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 4000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    }
    return bytes;
}

}  // namespace

// Each message used to be delivered one stack level deeper than the one before it.
TEST(QuicByteStream, ABurstOfTwoHundredThousandTinyMessagesArrivesInOrderAtAConstantStackDepth) {
    constexpr int kMessages = 200'000;
    Bytes burst;
    for (int i = 0; i < kMessages; ++i) {
        Bytes message = ControlMessage(GoodbyeMessage{std::to_string(i)}).encoded();
        burst.insert(burst.end(), message.begin(), message.end());
    }

    std::shared_ptr<FramedConnection> framed;
    int received = 0;
    int outOfOrder = 0;
    uintptr_t deepest = UINTPTR_MAX;
    uintptr_t shallowest = 0;
    Signal<bool> done;
    Loopback loopback([&](std::shared_ptr<QuicStream> stream) {
        auto byteStream =
            std::make_shared<QuicByteStream>(std::move(stream), std::nullopt, loopback.serverQueue);
        framed = FramedConnection::create(byteStream, loopback.serverQueue);
        framed->setEventHandler([&](FramedConnection::Event event) {
            const auto* message = std::get_if<FramedConnection::Message>(&event);
            if (message == nullptr) {
                return;
            }
            auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
            deepest = std::min(deepest, frame);
            shallowest = std::max(shallowest, frame);
            const auto* goodbye = message->message.get<GoodbyeMessage>();
            if (goodbye == nullptr || goodbye->reason != std::to_string(received)) {
                ++outOfOrder;
            }
            if (++received == kMessages) {
                done.set(true);
            }
        });
        framed->start();
    });
    loopback.send(std::move(burst));

    ASSERT_TRUE(done.wait(std::chrono::seconds(120)));
    loopback.serverQueue->sync([&] {
        EXPECT_EQ(received, kMessages);
        EXPECT_EQ(outOfOrder, 0);
        EXPECT_LT(shallowest - deepest, 64u * 1024);
        framed->close(std::nullopt);
        framed.reset();
    });
}

TEST(QuicByteStream, AnUnreadStreamHoldsNoMoreThanItsWindowAndCreditReturnsAsItIsRead) {
    constexpr size_t kSent = 1 << 20;
    constexpr size_t kChunk = 16 * 1024;
    const size_t window = QUICConfiguration::senderStreamWindow;
    std::shared_ptr<QuicByteStream> byteStream;
    Loopback loopback([&](std::shared_ptr<QuicStream> stream) {
        byteStream = std::make_shared<QuicByteStream>(std::move(stream), std::nullopt, loopback.serverQueue);
        byteStream->start([](ByteStream::State, std::error_code) {});
    });
    loopback.send(pattern(kSent));

    // Nobody reads: the viewer is held at the window this side granted.
    ASSERT_TRUE(eventually([&] { return loopback.serverStats().receivedBytesHeld == window; }));
    EXPECT_EQ(loopback.serverQueue->sync([&] { return byteStream->bufferedBytes(); }), window);

    Bytes read;
    Signal<bool> done;
    std::function<void()> readMore = [&] {
        byteStream->receive(kChunk, [&](std::error_code error, Bytes data, bool) {
            ASSERT_FALSE(error);
            read.insert(read.end(), data.begin(), data.end());
            if (read.size() == kSent) {
                done.set(true);
            } else {
                readMore();
            }
        });
    };
    loopback.serverQueue->sync(readMore);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(read, pattern(kSent));
    EXPECT_EQ(loopback.serverStats().receivedBytesHeld, 0u);
    loopback.serverQueue->sync([&] {
        byteStream->cancel();
        byteStream.reset();
    });
}

TEST(QuicByteStream, OurOwnCancelIsAnOrderlyEndAndThePeersAbortIsAFailure) {
    struct Case {
        const char* name;
        bool weCancel;
        ByteStream::State state;
        std::error_code error;
    };
    const Case cases[] = {
        {"cancel without reason", true, ByteStream::State::cancelled, {}},
        {"peer aborts", false, ByteStream::State::failed, std::make_error_code(std::errc::connection_reset)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<QuicByteStream> byteStream;
        Signal<std::pair<ByteStream::State, std::error_code>> ended;
        Signal<bool> arrived;
        Loopback loopback([&](std::shared_ptr<QuicStream> stream) {
            byteStream =
                std::make_shared<QuicByteStream>(std::move(stream), std::nullopt, loopback.serverQueue);
            byteStream->start([&](ByteStream::State state, std::error_code error) {
                if (state == ByteStream::State::ready) {
                    arrived.set(true);
                } else {
                    ended.set({state, error});
                }
            });
        });
        loopback.send(Bytes{1, 2, 3});
        ASSERT_TRUE(arrived.wait());
        if (c.weCancel) {
            loopback.serverQueue->sync([&] { byteStream->cancel(); });
        } else {
            loopback.clientQueue->sync([&] { loopback.clientStream->cancel(7); });
        }
        auto result = ended.wait();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, c.state);
        EXPECT_EQ(result->second, c.error);
        loopback.serverQueue->sync([&] { byteStream.reset(); });
    }
}
