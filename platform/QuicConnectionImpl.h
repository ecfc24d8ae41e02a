#pragma once

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/QuicEndpoint.h"
#include "platform/QuicInternal.h"
#include "platform/QuicStreamImpl.h"
#include "platform/UdpSocket.h"

namespace kelvora::quic {

class ConnectionImpl final : public QuicConnection, public std::enable_shared_from_this<ConnectionImpl> {
  public:
    static std::shared_ptr<ConnectionImpl> makeClient(asio::io_context& context,
                                                      const asio::ip::udp::endpoint& remote,
                                                      QuicClientParameters parameters);
    static std::shared_ptr<ConnectionImpl> makeServer(asio::io_context& context,
                                                      std::shared_ptr<ServerEndpoint> endpoint,
                                                      const QuicServerParameters& parameters,
                                                      const ngtcp2_pkt_hd& header, UdpSocket* socket,
                                                      const UdpSocket::Datagram& datagram);

    explicit ConnectionImpl(asio::io_context& context) : context_(context), timer_(context) {}
    ~ConnectionImpl() override;

    // QuicConnection
    void setHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    bool isReady() const override { return handshakeDone_ && !closed_; }
    bool isClosed() const override { return closed_; }
    asio::ip::udp::endpoint remoteEndpoint() const override { return remote_.endpoint(); }
    std::string applicationProtocol() const override { return applicationProtocol_; }
    std::shared_ptr<QuicStream> openStream() override;
    void close(uint64_t errorCode) override;
    QuicStats stats() const override;

    // Input from the socket: `feed` each datagram, then `afterInput` once per batch.
    void feed(UdpSocket* socket, const UdpSocket::Datagram& datagram);
    void afterInput();

    // Stream requests.
    void queueForSending(StreamImpl& stream);
    void cancelStream(StreamImpl& stream, uint64_t errorCode);
    void scheduleService();
    void postEvent(std::function<void()> event) { events_.push_back(std::move(event)); }
    // The owner of a stream is done with `byteCount` received bytes: the peer may send that much more.
    void returnCredit(int64_t streamId, uint64_t byteCount);

    bool isReleased() const { return released_; }
    const std::vector<std::string>& cidKeys() const { return cidKeys_; }

  private:
    struct BlockedDatagram {
        std::vector<uint8_t> bytes;
        UdpSocket* socket;
        SocketAddress local;
        SocketAddress remote;
    };

    // Library callbacks.
    static ngtcp2_conn* connectionOf(ngtcp2_crypto_conn_ref* reference);
    static int onHandshakeCompleted(ngtcp2_conn*, void* self);
    static int onReceiveStreamData(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t offset,
                                   const uint8_t* data, size_t length, void* self, void* streamData);
    static int onAckedStreamData(ngtcp2_conn*, int64_t id, uint64_t offset, uint64_t length, void* self,
                                 void* streamData);
    static int onStreamOpen(ngtcp2_conn*, int64_t id, void* self);
    static int onStreamClose(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t errorCode, void* self,
                             void* streamData);
    static int onExtendMaxStreamData(ngtcp2_conn*, int64_t id, uint64_t maxData, void* self,
                                     void* streamData);
    static void onRandom(uint8_t* destination, size_t length, const ngtcp2_rand_ctx*);
    static int onNewConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length, void* self);
    static int onRemoveConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* self);
    static int verifyCertificate(gnutls_session_t session);
    static int checkClientHello(gnutls_session_t session, unsigned int type, unsigned when,
                                unsigned int incoming, const gnutls_datum_t* message);

    static ngtcp2_callbacks callbacks(bool server);
    void fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params,
                      const QuicTransportOptions& options) const;
    void setUpTls(bool server, void* credentials);

    void writePackets();
    bool sendDatagram(std::span<const uint8_t> data, const ngtcp2_path& path);
    bool sendDatagram(const BlockedDatagram& datagram);
    void resumeAfterBlockedSend();
    StreamImpl* nextStreamToSend();
    void armTimer();
    void onTimer();
    void handleLibraryError(int code);
    void sendConnectionClose(const ngtcp2_connection_close_error& error);
    void terminate(std::optional<QuicError> error, bool keepForClosingPeriod);
    void release();
    void flushEvents();
    void receiveLoop();
    void onReadable();

    asio::io_context& context_;
    asio::steady_timer timer_;
    ngtcp2_conn* conn_ = nullptr;
    gnutls_session_t session_ = nullptr;
    gnutls_certificate_credentials_t ownCredentials_ = nullptr;
    ngtcp2_crypto_conn_ref connectionReference_{&ConnectionImpl::connectionOf, this};

    bool server_ = false;
    QuicTransportOptions options_;
    QuicPeerVerifier verifyPeer_;
    std::vector<gnutls_datum_t> protocolDatums_;
    Handlers handlers_;

    // Client role: the connection's own socket.
    std::optional<UdpSocket> socket_;
    std::vector<uint8_t> receiveBuffer_;
    // Server role: the listener's endpoint, and every connection ID routed to this connection.
    std::weak_ptr<ServerEndpoint> endpoint_;
    std::shared_ptr<const TlsIdentity> identity_;
    std::vector<std::string> cidKeys_;

    SocketAddress local_;
    SocketAddress remote_;
    std::string applicationProtocol_;

    std::map<int64_t, std::shared_ptr<StreamImpl>> streams_;
    std::deque<int64_t> sendQueue_;
    uint64_t localStreamsOpened_ = 0;
    uint64_t localStreamsOpen_ = 0;
    uint64_t receivedBytesHeld_ = 0;

    std::vector<uint8_t> sendBuffer_ = std::vector<uint8_t>(kDatagramCapacity);
    // A datagram the socket could not take yet; sent first once it can.
    std::optional<BlockedDatagram> blockedDatagram_;

    // The CONNECTION_CLOSE this side sent, repeated to a peer that keeps sending in the closing period.
    std::optional<BlockedDatagram> closeDatagram_;
    uint64_t closeDeadline_ = 0;

    std::vector<std::function<void()>> events_;
    bool serviceScheduled_ = false;
    bool handshakeDone_ = false;
    bool applicationProtocolRefused_ = false;
    bool closed_ = false;
    bool inClosingPeriod_ = false;
    bool released_ = false;
};

}  // namespace kelvora::quic
