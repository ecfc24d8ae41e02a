// Control messages on a QUIC stream: the bytes arrive in bursts whose sizes and repetitions the input
// chooses (a chunk repeated up to 65026 times makes the floods of tiny messages a hostile client sends in
// one go), through the QUIC byte stream into a framed connection, on the connection's real queue.

#include "core/FramedConnection.h"
#include "core/Log.h"
#include "core/QuicByteStream.h"
#include "fuzz/FuzzInput.h"

using namespace kelvora;

namespace {

// What the transport hands a stream's owner: received bytes in order. It counts the bytes the owner
// reports as taken, which is the credit the peer would get back: never more than arrived.
class ReceivingStream final : public QuicStream {
  public:
    using QuicStream::send;

    int64_t id() const override { return 0; }
    bool isLocal() const override { return false; }
    bool isClosed() const override { return closed_; }
    void setHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    void consumeExplicitly() override {}
    void consumed(std::size_t byteCount) override {
        consumed_ += byteCount;
        KELVORA_FUZZ_CHECK(consumed_ <= arrived_);
    }
    void send(std::shared_ptr<const std::vector<uint8_t>>, bool) override {}
    void finish() override {}
    void setPriority(int) override {}
    void cancel(uint64_t) override { closed_ = true; }

    void arrive(std::span<const uint8_t> bytes, bool finished) {
        if (handlers_.onReceive && !closed_) {
            arrived_ += bytes.size();
            handlers_.onReceive(bytes, finished);
        }
    }

  private:
    Handlers handlers_;
    bool closed_ = false;
    size_t arrived_ = 0;
    size_t consumed_ = 0;
};

// What one input may make the stream carry in all: the size of a burst a client can send before the
// stream's flow control stops it.
constexpr size_t maximumDelivered = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::network().set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("fuzz"));
    fuzz::FuzzInput input(data, size);
    size_t messages = 0;
    bool closed = false;
    std::shared_ptr<ReceivingStream> stream;
    std::shared_ptr<QuicByteStream> byteStream;
    std::shared_ptr<FramedConnection> connection;
    queue->sync([&] {
        stream = std::make_shared<ReceivingStream>();
        byteStream = std::make_shared<QuicByteStream>(stream, std::nullopt, queue);
        connection = FramedConnection::create(byteStream, queue);
        connection->setEventHandler([&](FramedConnection::Event event) {
            messages += std::holds_alternative<FramedConnection::Message>(event) ? 1 : 0;
            closed = closed || std::holds_alternative<FramedConnection::Closed>(event);
        });
        connection->start();
    });
    size_t delivered = 0;
    Bytes burst;
    while (!input.empty() && delivered < maximumDelivered) {
        const size_t high = input.byte();
        const size_t repeats = 1 + high * input.byte();
        const auto chunk = input.take(input.byte());
        burst.clear();
        for (size_t i = 0; i < repeats && burst.size() + chunk.size() <= maximumDelivered - delivered; ++i) {
            burst.insert(burst.end(), chunk.begin(), chunk.end());
        }
        delivered += burst.size();
        queue->sync([&] { stream->arrive(burst, input.empty()); });
        // The stream hands out a long burst over several turns of the queue; all of it is read before
        // the next burst, as it would be on a connection with nothing else to do.
        size_t buffered = SIZE_MAX;
        while (true) {
            const size_t now = queue->sync([&] { return byteStream->bufferedBytes(); });
            if (now >= buffered) {
                break;
            }
            buffered = now;
        }
    }
    queue->sync([&] {
        KELVORA_FUZZ_CHECK(messages * ControlMessage::headerLength <= delivered);
        connection->close(std::nullopt);
    });
    queue->sync([&] {
        KELVORA_FUZZ_CHECK(closed);
        connection.reset();
        byteStream.reset();
        stream.reset();
    });
    // The stream's own tasks (its ready report, a cancel) run before the next input.
    queue->sync([] {});
    return 0;
}
