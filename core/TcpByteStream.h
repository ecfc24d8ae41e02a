#pragma once

#include "core/ByteStream.h"
#include "platform/SerialQueue.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <deque>
#include <memory>

namespace kelvora {

// A ByteStream over one TCP connection, with the socket options every control connection of the system
// uses (see applyOptions). Writes are queued and go out one at a time, so a send's handler runs only when
// the kernel has taken all of its bytes; with TCP_NOTSENT_LOWAT the kernel takes little more than what is
// actually moving, so the bytes still waiting in this queue show how congested the path is.
//
// Threads: made for one SerialQueue; every call and every handler on it.
class TcpByteStream final : public ByteStream, public std::enable_shared_from_this<TcpByteStream> {
  public:
    // Keep-alive: first probe after 2 s of silence, then every 1 s, gone after 3 unanswered.
    static constexpr int keepAliveIdleSeconds = 2;
    static constexpr int keepAliveIntervalSeconds = 1;
    static constexpr int keepAliveCount = 3;
    // Unsent bytes the kernel accepts beyond what is in flight. Small, so that a stalled peer shows up in
    // our own write queue within a frame or two instead of hiding in megabytes of socket buffer.
    static constexpr int notSentLowWaterBytes = 32 * 1024;
    // DSCP AF41 (interactive video) in the IP header: the sender's control connection carries the TCP
    // engine's frames, and the viewer's carries the acknowledgements and reports those frames are paced by,
    // so both ends mark their packets alike, as the QUIC engine does.
    static constexpr int trafficClass = 0x88;
    // Data unacknowledged this long ends the connection; matches the keep-alive's 2 + 3 * 1 s.
    static constexpr int userTimeoutMilliseconds = 5000;
    // How long a stream whose final bytes are out waits for the peer to close its side before closing
    // anyway, so that the last message is not cut off by a reset.
    static constexpr auto lingerAfterFinal = std::chrono::seconds(1);

    // An accepted connection. The socket may come from any io_context; it is moved onto `queue`.
    static std::shared_ptr<TcpByteStream> adopt(std::shared_ptr<SerialQueue> queue,
                                                asio::ip::tcp::socket socket);
    // An outgoing connection, made when started: the host is resolved (a service endpoint goes to its
    // resolved address) and every address is tried in turn within `connectTimeout`.
    static std::shared_ptr<TcpByteStream> connect(
        std::shared_ptr<SerialQueue> queue, NetworkEndpoint endpoint,
        std::chrono::milliseconds connectTimeout = std::chrono::seconds(5));

    // TCP_NODELAY, keep-alive as above, TCP_NOTSENT_LOWAT, TCP_USER_TIMEOUT and the traffic class. Throws
    // std::system_error.
    static void applyOptions(asio::ip::tcp::socket& socket);

    void start(StateHandler handler) override;
    void receive(std::size_t length, ReceiveHandler handler) override;
    void send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) override;
    void cancel() override;
    void forceCancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override;

    ~TcpByteStream() override;

  private:
    // A receive in progress: its buffer grows with the bytes that actually arrive, so a peer that announces
    // a large message and sends little costs little.
    struct PartialRead {
        Bytes data;
        std::size_t filled = 0;
        std::size_t wanted = 0;
        ReceiveHandler handler;
    };
    static constexpr std::size_t firstReadChunk = 16 * 1024;

    struct PendingSend {
        std::shared_ptr<const Bytes> data;
        bool isFinal = false;
        SendHandler handler;
    };

    TcpByteStream(std::shared_ptr<SerialQueue> queue, asio::ip::tcp::socket socket,
                  std::optional<NetworkEndpoint> target, std::chrono::milliseconds connectTimeout);

    void report(State state, std::error_code error = {});
    void fail(std::error_code error);
    void becomeReady();
    void connectTo(asio::ip::tcp::resolver::results_type addresses);
    void readMore(std::shared_ptr<PartialRead> read);
    void writeNext();
    void failQueuedSends(std::error_code error);
    void drainThenClose();
    void drainOnce(std::shared_ptr<std::array<uint8_t, 4096>> buffer);
    void closeSocket();

    std::shared_ptr<SerialQueue> queue_;
    asio::ip::tcp::socket socket_;
    asio::ip::tcp::resolver resolver_;
    asio::steady_timer deadline_;
    std::optional<NetworkEndpoint> target_;
    std::optional<NetworkEndpoint> connectedPeer_;
    std::chrono::milliseconds connectTimeout_;
    StateHandler stateHandler_;
    std::deque<PendingSend> sends_;
    bool writing_ = false;
    bool started_ = false;
    bool ready_ = false;
    bool finalSent_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool timedOut_ = false;
};

}  // namespace kelvora
