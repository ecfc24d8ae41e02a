// The one module that talks to ngtcp2. Shaped like the library's own example programs: one object per
// ngtcp2_conn owning its TLS session, timer and streams; static trampolines from the library's callbacks
// into that object; one write loop. Packets travel through UdpSocket.

#include "platform/QuicEndpoint.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <unordered_map>

#include "platform/LogThrottle.h"
#include "platform/Logger.h"
#include "platform/UdpSocket.h"

namespace kelvora {
namespace {

spdlog::logger& quicLog() {
    static spdlog::logger& logger = platformLogger("network");
    return logger;
}

// TLS 1.3 only. QUIC carries its own record layer, so the middlebox compatibility mode of TLS over TCP
// must be off.
constexpr const char* kTlsPriority = "NORMAL:-VERS-ALL:+VERS-TLS1.3:%DISABLE_TLS13_COMPAT_MODE";

// Connection IDs this server issues; short-header packets carry no length, so it must be fixed.
constexpr size_t kServerCidLength = 18;
constexpr size_t kClientCidLength = 8;
// Datagrams read per wake-up before pending writes get their turn.
constexpr int kReceiveBatch = 64;
constexpr size_t kDatagramCapacity = 65536;
// Refusals of new connections are logged at most this often; a flood of them must not flood the log.
constexpr auto kRefusalLogInterval = std::chrono::seconds(5);
// TLS alert no_application_protocol; QUIC carries TLS alerts as transport errors 0x100 + alert.
constexpr uint8_t kAlertNoApplicationProtocol = 120;
constexpr uint64_t kCryptoErrorBase = 0x100;

uint64_t monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

void randomBytes(uint8_t* data, size_t length) {
    if (gnutls_rnd(GNUTLS_RND_RANDOM, data, length) != 0) {
        throw QuicError::protocol("Zufallszahlen nicht verfügbar");
    }
}

std::string cidKey(const uint8_t* data, size_t length) {
    return std::string(reinterpret_cast<const char*>(data), length);
}

std::string cidKey(const ngtcp2_cid& cid) {
    return cidKey(cid.data, cid.datalen);
}

std::string libraryErrorText(int code) {
    return ngtcp2_strerror(code);
}

// How a connection-close error from the peer reads to our users.
QuicError peerCloseError(const ngtcp2_connection_close_error& error) {
    if (error.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT &&
        error.error_code >= kCryptoErrorBase && error.error_code < kCryptoErrorBase + 0x100) {
        return QuicError::handshakeFailed(error.error_code - kCryptoErrorBase);
    }
    if (error.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT_IDLE_CLOSE) {
        return QuicError::timedOut();
    }
    return QuicError::closedByPeer(error.error_code);
}

std::vector<gnutls_datum_t> protocolList(const std::vector<std::string>& protocols) {
    std::vector<gnutls_datum_t> list;
    for (const auto& protocol : protocols) {
        list.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(protocol.data())),
                        static_cast<unsigned int>(protocol.size())});
    }
    return list;
}

class ConnectionImpl;
class ServerEndpoint;

// ---------------------------------------------------------------------------------------------------
// Streams

class StreamImpl final : public QuicStream, public std::enable_shared_from_this<StreamImpl> {
  public:
    StreamImpl(asio::io_context& context, std::weak_ptr<ConnectionImpl> connection, int64_t id, bool local)
        : context_(context), connection_(std::move(connection)), id_(id), local_(local) {}
    ~StreamImpl() override;

    int64_t id() const override { return id_; }
    bool isLocal() const override { return local_; }
    bool isClosed() const override { return closed_; }
    void setHandlers(Handlers handlers) override;
    void send(std::shared_ptr<const std::vector<uint8_t>> data, bool finish) override;
    void finish() override { send(nullptr, true); }
    void cancel(uint64_t errorCode) override;
    void consumeExplicitly() override { explicitConsumption_ = true; }
    void consumed(size_t byteCount) override;

    // Bytes queued but not yet handed to the transport, as vectors for one write; sets `finishNow` when
    // they reach the end of what will ever be sent and the end was asked for.
    size_t unsentVectors(ngtcp2_vec* vectors, size_t capacity, bool& finishNow) const;
    bool hasUnsent() const { return !cancelled_ && (sentOffset_ < queuedEnd_ || (finQueued_ && !finSent_)); }
    void markSent(size_t byteCount, bool finished);
    void markAcknowledged(uint64_t end);

    void receive(const uint8_t* data, size_t length, bool finished);
    void deliverReceived();
    void markClosed(std::optional<QuicError> error);
    void deliverClosed();

    // Pretends everything queued was sent: the transport refuses further data on this stream.
    void dropUnsent() {
        sentOffset_ = queuedEnd_;
        finSent_ = true;
    }

    bool blocked = false;
    bool queuedForSending = false;
    bool deliveryQueued = false;
    bool cancelled() const { return cancelled_; }
    uint64_t held() const { return held_; }

  private:
    struct Chunk {
        std::shared_ptr<const std::vector<uint8_t>> bytes;
        uint64_t offset;
    };

    asio::io_context& context_;
    std::weak_ptr<ConnectionImpl> connection_;
    int64_t id_;
    bool local_;
    Handlers handlers_;

    std::vector<uint8_t> received_;
    // Received and not yet consumed by the owner: the peer's credit for these bytes is still out.
    uint64_t held_ = 0;
    bool explicitConsumption_ = false;
    bool finReceived_ = false;
    bool finDelivered_ = false;

    std::deque<Chunk> chunks_;
    uint64_t queuedEnd_ = 0;
    uint64_t sentOffset_ = 0;
    bool finQueued_ = false;
    bool finSent_ = false;
    bool cancelled_ = false;

    bool closed_ = false;
    bool closedDelivered_ = false;
    std::optional<QuicError> closeError_;
};

// ---------------------------------------------------------------------------------------------------
// Connections

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

// ---------------------------------------------------------------------------------------------------
// The server side of the socket: routes datagrams by connection ID and accepts new connections.

class ServerEndpoint final : public std::enable_shared_from_this<ServerEndpoint> {
  public:
    ServerEndpoint(asio::io_context& context, QuicServerParameters parameters)
        : context_(context), parameters_(std::move(parameters)), buffer_(kDatagramCapacity) {}

    void open(const asio::ip::address& address, uint16_t port);
    void startReceiving();
    uint16_t port() const { return port_; }

    void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) {
        connectionHandler_ = std::move(handler);
    }
    void setFailureHandler(std::function<void(const QuicError&)> handler) {
        failureHandler_ = std::move(handler);
    }
    void stopAccepting();
    size_t connectionCount() const { return members_.size(); }
    size_t handshakeCount() const { return handshakes_; }

    void associate(const std::string& key, const std::shared_ptr<ConnectionImpl>& connection) {
        connections_[key] = connection;
    }
    void dissociate(const std::string& key) { connections_.erase(key); }
    void remove(const ConnectionImpl& connection);
    void connectionReady(const std::shared_ptr<ConnectionImpl>& connection);

  private:
    void receiveLoop(UdpSocket* socket);
    void onReadable(UdpSocket* socket);
    void onDatagram(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                    std::vector<std::shared_ptr<ConnectionImpl>>& touched);
    void sendVersionNegotiation(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                const ngtcp2_version_cid& cid);
    void closeIfIdle();
    bool admits() const;
    void refuse(UdpSocket* socket, const UdpSocket::Datagram& datagram, const ngtcp2_pkt_hd& header);
    void fail(const QuicError& error);

    asio::io_context& context_;
    QuicServerParameters parameters_;
    std::vector<std::unique_ptr<UdpSocket>> sockets_;
    std::vector<uint8_t> buffer_;
    uint16_t port_ = 0;
    bool accepting_ = true;
    std::function<void(std::shared_ptr<QuicConnection>)> connectionHandler_;
    std::unordered_map<std::string, std::shared_ptr<ConnectionImpl>> connections_;
    // Every connection until it is released, and whether its handshake has completed.
    std::unordered_map<const ConnectionImpl*, bool> members_;
    size_t handshakes_ = 0;
    LogThrottle refusalLog_{kRefusalLogInterval};
    bool failed_ = false;
    std::function<void(const QuicError&)> failureHandler_;
};

class ListenerImpl final : public QuicListener {
  public:
    explicit ListenerImpl(std::shared_ptr<ServerEndpoint> endpoint) : endpoint_(std::move(endpoint)) {}
    ~ListenerImpl() override { endpoint_->stopAccepting(); }

    void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) override {
        endpoint_->setConnectionHandler(std::move(handler));
    }
    void setFailureHandler(std::function<void(const QuicError&)> handler) override {
        endpoint_->setFailureHandler(std::move(handler));
    }
    uint16_t port() const override { return endpoint_->port(); }
    size_t connectionCount() const override { return endpoint_->connectionCount(); }
    size_t handshakeCount() const override { return endpoint_->handshakeCount(); }
    void stop() override { endpoint_->stopAccepting(); }

  private:
    std::shared_ptr<ServerEndpoint> endpoint_;
};

// ---------------------------------------------------------------------------------------------------
// StreamImpl

void StreamImpl::setHandlers(Handlers handlers) {
    handlers_ = std::move(handlers);
    bool pending = !received_.empty() || (finReceived_ && !finDelivered_) || (closed_ && !closedDelivered_);
    if (pending) {
        asio::post(context_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->deliverReceived();
                self->deliverClosed();
            }
        });
    }
}

void StreamImpl::send(std::shared_ptr<const std::vector<uint8_t>> data, bool finish) {
    if (closed_ || cancelled_ || finQueued_) {
        return;
    }
    if (data && !data->empty()) {
        chunks_.push_back({data, queuedEnd_});
        queuedEnd_ += data->size();
    }
    finQueued_ = finish;
    if (auto connection = connection_.lock()) {
        connection->queueForSending(*this);
    }
}

void StreamImpl::cancel(uint64_t errorCode) {
    if (closed_ || cancelled_) {
        return;
    }
    cancelled_ = true;
    if (auto connection = connection_.lock()) {
        connection->cancelStream(*this, errorCode);
    }
}

size_t StreamImpl::unsentVectors(ngtcp2_vec* vectors, size_t capacity, bool& finishNow) const {
    size_t count = 0;
    uint64_t coveredEnd = sentOffset_;
    for (const auto& chunk : chunks_) {
        uint64_t end = chunk.offset + chunk.bytes->size();
        if (end <= sentOffset_) {
            continue;
        }
        if (count == capacity) {
            break;
        }
        uint64_t start = std::max(chunk.offset, sentOffset_) - chunk.offset;
        vectors[count++] = {const_cast<uint8_t*>(chunk.bytes->data()) + start, chunk.bytes->size() - start};
        coveredEnd = end;
    }
    finishNow = finQueued_ && !finSent_ && coveredEnd == queuedEnd_;
    return count;
}

StreamImpl::~StreamImpl() {
    if (held_ == 0) {
        return;
    }
    // Bytes its owner dropped unread still count against the connection's window until returned; not from
    // here, where the library may be on the stack, but from the connection's queue.
    if (auto connection = connection_.lock()) {
        asio::post(context_, [weak = std::weak_ptr<ConnectionImpl>(connection), id = id_, held = held_] {
            if (auto connection = weak.lock()) {
                connection->returnCredit(id, held);
            }
        });
    }
}

void StreamImpl::consumed(size_t byteCount) {
    uint64_t count = std::min<uint64_t>(byteCount, held_);
    if (count == 0) {
        return;
    }
    held_ -= count;
    if (auto connection = connection_.lock()) {
        connection->returnCredit(id_, count);
    }
}

void StreamImpl::markSent(size_t byteCount, bool finished) {
    sentOffset_ += byteCount;
    if (finished && finQueued_ && sentOffset_ == queuedEnd_) {
        finSent_ = true;
    }
}

void StreamImpl::markAcknowledged(uint64_t end) {
    // The transport keeps pointers into sent chunks until the peer acknowledged them.
    while (!chunks_.empty() && chunks_.front().offset + chunks_.front().bytes->size() <= end) {
        chunks_.pop_front();
    }
}

void StreamImpl::receive(const uint8_t* data, size_t length, bool finished) {
    received_.insert(received_.end(), data, data + length);
    held_ += length;
    finReceived_ = finReceived_ || finished;
}

void StreamImpl::deliverReceived() {
    bool finishNow = finReceived_ && !finDelivered_;
    if (!handlers_.onReceive || (received_.empty() && !finishNow)) {
        return;
    }
    std::vector<uint8_t> bytes = std::move(received_);
    received_.clear();
    finDelivered_ = finDelivered_ || finishNow;
    auto handler = handlers_.onReceive;
    // Keeps the stream alive through the handler, which may let go of it.
    auto self = shared_from_this();
    handler(bytes, finishNow);
    if (!explicitConsumption_) {
        consumed(bytes.size());
    }
}

void StreamImpl::markClosed(std::optional<QuicError> error) {
    closed_ = true;
    closeError_ = std::move(error);
    chunks_.clear();
}

void StreamImpl::deliverClosed() {
    // Without any handler yet, the end waits for the owner to set one.
    if (!closed_ || closedDelivered_ || (!handlers_.onReceive && !handlers_.onClosed)) {
        return;
    }
    closedDelivered_ = true;
    auto handler = std::move(handlers_.onClosed);
    // Handlers often capture their owner or the stream itself; a closed stream lets go of them.
    handlers_ = {};
    if (handler) {
        handler(closeError_);
    }
}

// ---------------------------------------------------------------------------------------------------
// ConnectionImpl: set-up

ngtcp2_path makePath(SocketAddress& local, SocketAddress& remote, UdpSocket* socket) {
    return ngtcp2_path{{local.get(), local.length}, {remote.get(), remote.length}, socket};
}

SocketAddress addressOf(const ngtcp2_addr& address) {
    SocketAddress result;
    std::memcpy(&result.storage, address.addr, address.addrlen);
    result.length = address.addrlen;
    return result;
}

ngtcp2_callbacks ConnectionImpl::callbacks(bool server) {
    ngtcp2_callbacks callbacks{};
    if (server) {
        callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
        callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.handshake_completed = &ConnectionImpl::onHandshakeCompleted;
    callbacks.recv_stream_data = &ConnectionImpl::onReceiveStreamData;
    callbacks.acked_stream_data_offset = &ConnectionImpl::onAckedStreamData;
    callbacks.stream_open = &ConnectionImpl::onStreamOpen;
    callbacks.stream_close = &ConnectionImpl::onStreamClose;
    callbacks.extend_max_stream_data = &ConnectionImpl::onExtendMaxStreamData;
    callbacks.rand = &ConnectionImpl::onRandom;
    callbacks.get_new_connection_id = &ConnectionImpl::onNewConnectionId;
    callbacks.remove_connection_id = &ConnectionImpl::onRemoveConnectionId;
    return callbacks;
}

void ConnectionImpl::fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params,
                                  const QuicTransportOptions& options) const {
    ngtcp2_settings_default(&settings);
    settings.initial_ts = monotonicNow();
    settings.initial_rtt = options.initialRttMs * NGTCP2_MILLISECONDS;
    // Cubic: the library's BBR variants can trip internal assertions under loss in this version.
    settings.cc_algo = NGTCP2_CC_ALGO_CUBIC;
    if (options.handshakeTimeoutMs != 0) {
        settings.handshake_timeout = options.handshakeTimeoutMs * NGTCP2_MILLISECONDS;
    }
    settings.max_window = options.initialMaxData;
    settings.max_stream_window =
        std::max({options.initialMaxStreamDataBidiLocal, options.initialMaxStreamDataBidiRemote,
                  options.initialMaxStreamDataUni});

    ngtcp2_transport_params_default(&params);
    params.initial_max_data = options.initialMaxData;
    params.initial_max_stream_data_bidi_local = options.initialMaxStreamDataBidiLocal;
    params.initial_max_stream_data_bidi_remote = options.initialMaxStreamDataBidiRemote;
    params.initial_max_stream_data_uni = options.initialMaxStreamDataUni;
    params.initial_max_streams_bidi = options.initialMaxStreamsBidi;
    params.initial_max_streams_uni = options.initialMaxStreamsUni;
    params.max_idle_timeout = options.idleTimeoutMs * NGTCP2_MILLISECONDS;
    params.max_ack_delay = options.maxAckDelayMs * NGTCP2_MILLISECONDS;
    params.active_connection_id_limit = 7;
}

void ConnectionImpl::setUpTls(bool server, void* credentials) {
    auto check = [](int status) {
        if (status < 0) {
            throw QuicError::protocol(gnutls_strerror(status));
        }
    };
    check(gnutls_init(&session_, (server ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_END_OF_EARLY_DATA));
    if (server ? ngtcp2_crypto_gnutls_configure_server_session(session_)
               : ngtcp2_crypto_gnutls_configure_client_session(session_)) {
        throw QuicError::protocol("TLS-Sitzung nicht einrichtbar");
    }
    check(gnutls_priority_set_direct(session_, kTlsPriority, nullptr));
    if (server) {
        gnutls_handshake_set_hook_function(session_, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_POST,
                                           &ConnectionImpl::checkClientHello);
    } else {
        // No trust store: the verifier of the client parameters is the whole trust decision.
        check(gnutls_certificate_allocate_credentials(&ownCredentials_));
        gnutls_certificate_set_verify_function(ownCredentials_, &ConnectionImpl::verifyCertificate);
        credentials = ownCredentials_;
    }
    // The crypto helper owns the session pointer; it leads back to us through the reference's user data.
    gnutls_session_set_ptr(session_, &connectionReference_);
    check(gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials));
    protocolDatums_ = protocolList(options_.applicationProtocols);
    check(gnutls_alpn_set_protocols(session_, protocolDatums_.data(),
                                    static_cast<unsigned>(protocolDatums_.size()),
                                    GNUTLS_ALPN_MANDATORY | (server ? GNUTLS_ALPN_SERVER_PRECEDENCE : 0)));
    ngtcp2_conn_set_tls_native_handle(conn_, session_);
}

std::shared_ptr<ConnectionImpl> ConnectionImpl::makeClient(asio::io_context& context,
                                                           const asio::ip::udp::endpoint& remote,
                                                           QuicClientParameters parameters) {
    auto connection = std::make_shared<ConnectionImpl>(context);
    connection->options_ = std::move(parameters.transport);
    connection->verifyPeer_ = std::move(parameters.verifyPeer);
    try {
        connection->socket_.emplace(UdpSocket::connect(context, remote));
    } catch (const std::system_error& error) {
        throw QuicError::socket(error.code().message());
    }
    if (connection->options_.trafficClass != 0) {
        connection->socket_->setTrafficClass(connection->options_.trafficClass);
    }
    connection->local_ = SocketAddress::from(connection->socket_->localEndpoint());
    connection->remote_ = SocketAddress::from(remote);

    ngtcp2_cid destination{};
    ngtcp2_cid source{};
    destination.datalen = NGTCP2_MIN_INITIAL_DCIDLEN;
    randomBytes(destination.data, destination.datalen);
    source.datalen = kClientCidLength;
    randomBytes(source.data, source.datalen);

    ngtcp2_settings settings;
    ngtcp2_transport_params params;
    connection->fillSettings(settings, params, connection->options_);
    ngtcp2_callbacks callbacks = ConnectionImpl::callbacks(false);
    ngtcp2_path path = makePath(connection->local_, connection->remote_, &*connection->socket_);
    int status = ngtcp2_conn_client_new(&connection->conn_, &destination, &source, &path, NGTCP2_PROTO_VER_V1,
                                        &callbacks, &settings, &params, nullptr, connection.get());
    if (status != 0) {
        throw QuicError::protocol(libraryErrorText(status));
    }
    connection->setUpTls(false, nullptr);
    connection->receiveBuffer_.resize(kDatagramCapacity);
    connection->receiveLoop();
    // The first flight leaves from the queue, so handlers set right after `connect` see every event.
    connection->scheduleService();
    return connection;
}

std::shared_ptr<ConnectionImpl> ConnectionImpl::makeServer(asio::io_context& context,
                                                           std::shared_ptr<ServerEndpoint> endpoint,
                                                           const QuicServerParameters& parameters,
                                                           const ngtcp2_pkt_hd& header, UdpSocket* socket,
                                                           const UdpSocket::Datagram& datagram) {
    if (!parameters.identity) {
        throw QuicError::protocol("keine TLS-Identität");
    }
    auto connection = std::make_shared<ConnectionImpl>(context);
    connection->server_ = true;
    connection->options_ = parameters.transport;
    connection->endpoint_ = endpoint;
    connection->identity_ = parameters.identity;
    connection->local_ = datagram.local;
    connection->remote_ = datagram.remote;

    ngtcp2_cid source{};
    source.datalen = kServerCidLength;
    randomBytes(source.data, source.datalen);

    ngtcp2_settings settings;
    ngtcp2_transport_params params;
    connection->fillSettings(settings, params, connection->options_);
    params.original_dcid = header.dcid;
    params.stateless_reset_token_present = 1;
    randomBytes(params.stateless_reset_token, sizeof params.stateless_reset_token);
    ngtcp2_callbacks callbacks = ConnectionImpl::callbacks(true);
    ngtcp2_path path = makePath(connection->local_, connection->remote_, socket);
    int status = ngtcp2_conn_server_new(&connection->conn_, &header.scid, &source, &path, header.version,
                                        &callbacks, &settings, &params, nullptr, connection.get());
    if (status != 0) {
        throw QuicError::protocol(libraryErrorText(status));
    }
    connection->setUpTls(true, parameters.identity->nativeCredentials());
    // Until the client switches to our connection ID it keeps addressing us by the one it chose.
    for (const std::string& key : {cidKey(header.dcid), cidKey(source)}) {
        endpoint->associate(key, connection);
        connection->cidKeys_.push_back(key);
    }
    return connection;
}

ConnectionImpl::~ConnectionImpl() {
    if (conn_ != nullptr) {
        ngtcp2_conn_del(conn_);
    }
    if (session_ != nullptr) {
        gnutls_deinit(session_);
    }
    if (ownCredentials_ != nullptr) {
        gnutls_certificate_free_credentials(ownCredentials_);
    }
}

// ---------------------------------------------------------------------------------------------------
// ConnectionImpl: library callbacks

ngtcp2_conn* ConnectionImpl::connectionOf(ngtcp2_crypto_conn_ref* reference) {
    return static_cast<ConnectionImpl*>(reference->user_data)->conn_;
}

int ConnectionImpl::verifyCertificate(gnutls_session_t session) {
    auto* reference = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    auto* self = static_cast<ConnectionImpl*>(reference->user_data);
    if (gnutls_certificate_type_get2(session, GNUTLS_CTYPE_SERVER) != GNUTLS_CRT_X509) {
        return GNUTLS_E_CERTIFICATE_ERROR;
    }
    unsigned int count = 0;
    const gnutls_datum_t* certificates = gnutls_certificate_get_peers(session, &count);
    if (certificates == nullptr || count == 0 || !self->verifyPeer_) {
        return GNUTLS_E_CERTIFICATE_ERROR;
    }
    try {
        return self->verifyPeer_({certificates[0].data, certificates[0].size}) ? 0
                                                                               : GNUTLS_E_CERTIFICATE_ERROR;
    } catch (...) {
        return GNUTLS_E_CERTIFICATE_ERROR;
    }
}

int ConnectionImpl::checkClientHello(gnutls_session_t session, unsigned int, unsigned, unsigned int,
                                     const gnutls_datum_t*) {
    auto* reference = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    auto* self = static_cast<ConnectionImpl*>(reference->user_data);
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != 0) {
        return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    }
    std::string chosen(reinterpret_cast<const char*>(selected.data), selected.size);
    const auto& accepted = self->options_.applicationProtocols;
    if (std::find(accepted.begin(), accepted.end(), chosen) == accepted.end()) {
        return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    }
    return 0;
}

int ConnectionImpl::onHandshakeCompleted(ngtcp2_conn*, void* user) {
    auto* self = static_cast<ConnectionImpl*>(user);
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(self->session_, &selected) != 0) {
        self->applicationProtocolRefused_ = true;
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    std::string chosen(reinterpret_cast<const char*>(selected.data), selected.size);
    const auto& accepted = self->options_.applicationProtocols;
    if (std::find(accepted.begin(), accepted.end(), chosen) == accepted.end()) {
        self->applicationProtocolRefused_ = true;
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    self->applicationProtocol_ = chosen;
    self->handshakeDone_ = true;
    self->postEvent([weak = self->weak_from_this()] {
        auto connection = weak.lock();
        if (!connection || connection->closed_) {
            return;
        }
        if (connection->server_) {
            if (auto endpoint = connection->endpoint_.lock()) {
                endpoint->connectionReady(connection);
            }
        }
        if (auto handler = connection->handlers_.onReady) {
            handler();
        }
    });
    return 0;
}

int ConnectionImpl::onReceiveStreamData(ngtcp2_conn* conn, uint32_t flags, int64_t id, uint64_t,
                                        const uint8_t* data, size_t length, void* user, void*) {
    auto* self = static_cast<ConnectionImpl*>(user);
    auto found = self->streams_.find(id);
    if (found == self->streams_.end() || found->second->cancelled()) {
        // Nobody will read these bytes: they are done with at once.
        ngtcp2_conn_extend_max_stream_offset(conn, id, length);
        ngtcp2_conn_extend_max_offset(conn, length);
        return 0;
    }
    // The credit for these bytes returns only once their owner has consumed them (returnCredit), so the
    // windows we announced bound what a peer can make us hold.
    self->receivedBytesHeld_ += length;
    const auto& stream = found->second;
    stream->receive(data, length, (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0);
    if (!stream->deliveryQueued) {
        stream->deliveryQueued = true;
        self->postEvent([stream] {
            stream->deliveryQueued = false;
            stream->deliverReceived();
        });
    }
    return 0;
}

int ConnectionImpl::onAckedStreamData(ngtcp2_conn*, int64_t id, uint64_t offset, uint64_t length, void* user,
                                      void*) {
    auto* self = static_cast<ConnectionImpl*>(user);
    auto found = self->streams_.find(id);
    if (found != self->streams_.end()) {
        found->second->markAcknowledged(offset + length);
    }
    return 0;
}

int ConnectionImpl::onStreamOpen(ngtcp2_conn*, int64_t id, void* user) {
    auto* self = static_cast<ConnectionImpl*>(user);
    auto stream = std::make_shared<StreamImpl>(self->context_, self->weak_from_this(), id, false);
    self->streams_[id] = stream;
    self->postEvent([weak = self->weak_from_this(), stream] {
        auto connection = weak.lock();
        if (!connection) {
            return;
        }
        if (auto handler = connection->handlers_.onStream) {
            handler(stream);
        }
    });
    return 0;
}

int ConnectionImpl::onStreamClose(ngtcp2_conn* conn, uint32_t flags, int64_t id, uint64_t errorCode,
                                  void* user, void*) {
    auto* self = static_cast<ConnectionImpl*>(user);
    if (!ngtcp2_conn_is_local_stream(conn, id)) {
        // The peer may open one more stream for each of its streams that ended; the library leaves the
        // grant to us.
        if ((id & 0x2) == 0) {
            ngtcp2_conn_extend_max_streams_bidi(conn, 1);
        } else {
            ngtcp2_conn_extend_max_streams_uni(conn, 1);
        }
    }
    auto found = self->streams_.find(id);
    if (found == self->streams_.end()) {
        return 0;
    }
    auto stream = found->second;
    self->streams_.erase(found);
    if (stream->isLocal()) {
        --self->localStreamsOpen_;
    }
    std::optional<QuicError> error;
    bool codeSet = (flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) != 0;
    if (!stream->cancelled() && codeSet && errorCode != 0) {
        error = QuicError::closedByPeer(errorCode);
    }
    stream->markClosed(error);
    self->postEvent([stream] {
        stream->deliverReceived();
        stream->deliverClosed();
    });
    return 0;
}

int ConnectionImpl::onExtendMaxStreamData(ngtcp2_conn*, int64_t id, uint64_t, void* user, void*) {
    auto* self = static_cast<ConnectionImpl*>(user);
    auto found = self->streams_.find(id);
    if (found != self->streams_.end()) {
        found->second->blocked = false;
    }
    return 0;
}

void ConnectionImpl::onRandom(uint8_t* destination, size_t length, const ngtcp2_rand_ctx*) {
    (void)gnutls_rnd(GNUTLS_RND_RANDOM, destination, length);
}

int ConnectionImpl::onNewConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length,
                                      void* user) {
    auto* self = static_cast<ConnectionImpl*>(user);
    if (gnutls_rnd(GNUTLS_RND_RANDOM, cid->data, length) != 0 ||
        gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN) != 0) {
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    cid->datalen = length;
    if (self->server_) {
        if (auto endpoint = self->endpoint_.lock()) {
            std::string key = cidKey(*cid);
            endpoint->associate(key, self->shared_from_this());
            self->cidKeys_.push_back(key);
        }
    }
    return 0;
}

int ConnectionImpl::onRemoveConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* user) {
    auto* self = static_cast<ConnectionImpl*>(user);
    if (self->server_) {
        std::string key = cidKey(*cid);
        if (auto endpoint = self->endpoint_.lock()) {
            endpoint->dissociate(key);
        }
        std::erase(self->cidKeys_, key);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// ConnectionImpl: operations

std::shared_ptr<QuicStream> ConnectionImpl::openStream() {
    if (!isReady()) {
        return nullptr;
    }
    int64_t id = -1;
    if (ngtcp2_conn_open_bidi_stream(conn_, &id, nullptr) != 0) {
        return nullptr;
    }
    auto stream = std::make_shared<StreamImpl>(context_, weak_from_this(), id, true);
    streams_[id] = stream;
    ++localStreamsOpened_;
    ++localStreamsOpen_;
    return stream;
}

void ConnectionImpl::close(uint64_t errorCode) {
    if (closed_) {
        return;
    }
    auto self = shared_from_this();
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    ngtcp2_connection_close_error_set_application_error(&error, errorCode, nullptr, 0);
    sendConnectionClose(error);
    terminate(std::nullopt, true);
    scheduleService();
}

QuicStats ConnectionImpl::stats() const {
    ngtcp2_conn_stat stat;
    ngtcp2_conn_get_conn_stat(conn_, &stat);
    QuicStats result;
    result.bytesInFlight = stat.bytes_in_flight;
    result.congestionWindow = stat.cwnd;
    result.smoothedRttNs = stat.smoothed_rtt;
    result.minimumRttNs = stat.min_rtt == UINT64_MAX ? 0 : stat.min_rtt;
    result.latestRttNs = stat.latest_rtt;
    result.deliveryRateBytesPerSecond = stat.delivery_rate_sec;
    result.localStreamsOpen = localStreamsOpen_;
    result.localStreamsOpened = localStreamsOpened_;
    result.bidiStreamsLeft = closed_ ? 0 : ngtcp2_conn_get_streams_bidi_left(conn_);
    result.sendWindowLeft = closed_ ? 0 : ngtcp2_conn_get_max_data_left(conn_);
    result.receivedBytesHeld = receivedBytesHeld_;
    if (const ngtcp2_transport_params* peer = ngtcp2_conn_get_remote_transport_params(conn_)) {
        result.peerMaxAckDelayNs = peer->max_ack_delay;
    }
    return result;
}

void ConnectionImpl::queueForSending(StreamImpl& stream) {
    if (closed_) {
        return;
    }
    if (!stream.queuedForSending) {
        stream.queuedForSending = true;
        sendQueue_.push_back(stream.id());
    }
    scheduleService();
}

void ConnectionImpl::cancelStream(StreamImpl& stream, uint64_t errorCode) {
    if (closed_) {
        return;
    }
    ngtcp2_conn_shutdown_stream(conn_, stream.id(), errorCode);
    scheduleService();
}

void ConnectionImpl::returnCredit(int64_t streamId, uint64_t byteCount) {
    receivedBytesHeld_ -= std::min(receivedBytesHeld_, byteCount);
    if (closed_ || released_) {
        return;
    }
    // A stream that has closed meanwhile needs no credit of its own; the connection's window does.
    ngtcp2_conn_extend_max_stream_offset(conn_, streamId, byteCount);
    ngtcp2_conn_extend_max_offset(conn_, byteCount);
    // The library announces the new limits with the next packet it writes.
    scheduleService();
}

void ConnectionImpl::scheduleService() {
    if (serviceScheduled_) {
        return;
    }
    serviceScheduled_ = true;
    asio::post(context_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->serviceScheduled_ = false;
        self->writePackets();
        self->flushEvents();
    });
}

void ConnectionImpl::flushEvents() {
    while (!events_.empty()) {
        auto batch = std::move(events_);
        events_.clear();
        for (auto& event : batch) {
            event();
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// ConnectionImpl: packets in and out

void ConnectionImpl::receiveLoop() {
    socket_->waitReadable([self = shared_from_this()](const std::error_code& error) {
        if (!error && !self->released_) {
            self->onReadable();
        }
    });
}

void ConnectionImpl::onReadable() {
    for (int i = 0; i < kReceiveBatch && !released_; ++i) {
        bool refused = false;
        std::optional<UdpSocket::Datagram> datagram;
        try {
            datagram = socket_->receive(receiveBuffer_, &refused);
        } catch (const std::system_error& error) {
            terminate(QuicError::socket(error.code().message()), false);
            break;
        }
        if (refused) {
            terminate(QuicError::refused(), false);
            break;
        }
        if (!datagram) {
            break;
        }
        feed(&*socket_, *datagram);
    }
    afterInput();
    if (!released_) {
        receiveLoop();
    }
}

void ConnectionImpl::feed(UdpSocket* socket, const UdpSocket::Datagram& datagram) {
    if (released_) {
        return;
    }
    if (closed_) {
        // A peer that missed our CONNECTION_CLOSE keeps sending; tell it again.
        if (closeDatagram_ && inClosingPeriod_) {
            sendDatagram(*closeDatagram_);
        }
        return;
    }
    SocketAddress local = datagram.local;
    SocketAddress remote = datagram.remote;
    ngtcp2_path path = makePath(local, remote, socket);
    ngtcp2_pkt_info info{};
    int status =
        ngtcp2_conn_read_pkt(conn_, &path, &info, datagram.data.data(), datagram.data.size(), monotonicNow());
    if (status != 0) {
        handleLibraryError(status);
    }
}

void ConnectionImpl::afterInput() {
    writePackets();
    flushEvents();
}

StreamImpl* ConnectionImpl::nextStreamToSend() {
    for (auto it = sendQueue_.begin(); it != sendQueue_.end();) {
        auto found = streams_.find(*it);
        if (found == streams_.end() || !found->second->hasUnsent()) {
            if (found != streams_.end()) {
                found->second->queuedForSending = false;
            }
            it = sendQueue_.erase(it);
            continue;
        }
        if (!found->second->blocked) {
            return found->second.get();
        }
        ++it;
    }
    return nullptr;
}

void ConnectionImpl::writePackets() {
    if (closed_ || released_ || blockedDatagram_) {
        return;
    }
    size_t payloadLimit = ngtcp2_conn_get_max_tx_udp_payload_size(conn_);
    // One burst is what the pacer allows now; the timer brings the next.
    size_t burstLimit = std::max<size_t>(1, ngtcp2_conn_get_send_quantum(conn_) / payloadLimit);
    ngtcp2_path_storage storage;
    ngtcp2_path_storage_zero(&storage);
    ngtcp2_pkt_info info{};
    uint64_t now = monotonicNow();
    std::array<ngtcp2_vec, 16> vectors{};
    size_t packets = 0;

    for (;;) {
        StreamImpl* stream = nextStreamToSend();
        int64_t streamId = -1;
        size_t vectorCount = 0;
        bool finish = false;
        if (stream != nullptr) {
            vectorCount = stream->unsentVectors(vectors.data(), vectors.size(), finish);
            streamId = stream->id();
        }
        uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE | (finish ? NGTCP2_WRITE_STREAM_FLAG_FIN : 0);
        ngtcp2_ssize accepted = -1;
        ngtcp2_ssize written =
            ngtcp2_conn_writev_stream(conn_, &storage.path, &info, sendBuffer_.data(), payloadLimit,
                                      &accepted, flags, streamId, vectors.data(), vectorCount, now);
        if (written < 0) {
            if (written == NGTCP2_ERR_WRITE_MORE) {
                stream->markSent(static_cast<size_t>(accepted), finish);
                continue;
            }
            if (written == NGTCP2_ERR_STREAM_DATA_BLOCKED) {
                stream->blocked = true;
                continue;
            }
            if (written == NGTCP2_ERR_STREAM_SHUT_WR || written == NGTCP2_ERR_STREAM_NOT_FOUND) {
                stream->dropUnsent();
                continue;
            }
            ngtcp2_connection_close_error error;
            ngtcp2_connection_close_error_default(&error);
            ngtcp2_connection_close_error_set_transport_error_liberr(&error, static_cast<int>(written),
                                                                     nullptr, 0);
            sendConnectionClose(error);
            terminate(QuicError::protocol(libraryErrorText(static_cast<int>(written))), true);
            return;
        }
        if (stream != nullptr && accepted >= 0) {
            stream->markSent(static_cast<size_t>(accepted), finish);
        }
        if (written == 0) {
            break;
        }
        if (!sendDatagram({sendBuffer_.data(), static_cast<size_t>(written)}, storage.path)) {
            break;
        }
        if (++packets >= burstLimit) {
            break;
        }
    }
    ngtcp2_conn_update_pkt_tx_time(conn_, now);
    armTimer();
}

bool ConnectionImpl::sendDatagram(std::span<const uint8_t> data, const ngtcp2_path& path) {
    BlockedDatagram datagram{
        {}, static_cast<UdpSocket*>(path.user_data), addressOf(path.local), addressOf(path.remote)};
    datagram.bytes.assign(data.begin(), data.end());
    return sendDatagram(datagram);
}

bool ConnectionImpl::sendDatagram(const BlockedDatagram& datagram) {
    // A server connection's socket belongs to its endpoint and is gone with it.
    std::shared_ptr<ServerEndpoint> endpoint = endpoint_.lock();
    if (datagram.socket == nullptr || (server_ && !endpoint) || !datagram.socket->isOpen()) {
        return true;
    }
    switch (datagram.socket->send(datagram.bytes, datagram.local, datagram.remote)) {
        case UdpSocket::SendResult::sent:
            return true;
        case UdpSocket::SendResult::failed:
            // Lost like any datagram; the transport's loss recovery takes over.
            quicLog().debug("QUIC: Datagramm nicht gesendet: {}", std::strerror(errno));
            return true;
        case UdpSocket::SendResult::wouldBlock:
            break;
    }
    blockedDatagram_ = datagram;
    datagram.socket->waitWritable([weak = weak_from_this()](const std::error_code& error) {
        if (auto self = weak.lock(); self && !error) {
            self->resumeAfterBlockedSend();
        }
    });
    return false;
}

void ConnectionImpl::resumeAfterBlockedSend() {
    if (released_ || !blockedDatagram_) {
        return;
    }
    BlockedDatagram datagram = std::move(*blockedDatagram_);
    blockedDatagram_.reset();
    if (!sendDatagram(datagram)) {
        return;
    }
    writePackets();
    flushEvents();
}

void ConnectionImpl::armTimer() {
    if (released_) {
        return;
    }
    uint64_t expiry = closed_ ? closeDeadline_ : ngtcp2_conn_get_expiry(conn_);
    if (expiry == UINT64_MAX) {
        timer_.cancel();
        return;
    }
    // steady_clock is CLOCK_MONOTONIC, the library's time base here.
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(expiry)));
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (auto self = weak.lock(); self && !error) {
            self->onTimer();
        }
    });
}

void ConnectionImpl::onTimer() {
    if (released_) {
        return;
    }
    auto self = shared_from_this();
    if (closed_) {
        release();
        flushEvents();
        return;
    }
    int status = ngtcp2_conn_handle_expiry(conn_, monotonicNow());
    if (status == NGTCP2_ERR_IDLE_CLOSE || status == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
        // Nothing is sent: after the idle timeout the peer has forgotten the connection too.
        terminate(QuicError::timedOut(), false);
    } else if (status != 0) {
        ngtcp2_connection_close_error error;
        ngtcp2_connection_close_error_default(&error);
        ngtcp2_connection_close_error_set_transport_error_liberr(&error, status, nullptr, 0);
        sendConnectionClose(error);
        terminate(QuicError::protocol(libraryErrorText(status)), true);
    } else {
        writePackets();
    }
    flushEvents();
}

void ConnectionImpl::handleLibraryError(int code) {
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    switch (code) {
        case NGTCP2_ERR_DRAINING: {
            // The peer closed: send nothing more, keep absorbing its packets for a while.
            ngtcp2_connection_close_error received;
            ngtcp2_conn_get_connection_close_error(conn_, &received);
            terminate(peerCloseError(received), true);
            return;
        }
        case NGTCP2_ERR_CLOSING:
            return;
        case NGTCP2_ERR_DROP_CONN:
            terminate(QuicError::protocol(libraryErrorText(code)), false);
            return;
        case NGTCP2_ERR_CRYPTO: {
            uint8_t alert = ngtcp2_conn_get_tls_alert(conn_);
            ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, alert, nullptr, 0);
            sendConnectionClose(error);
            terminate(QuicError::handshakeFailed(alert), true);
            return;
        }
        default:
            if (applicationProtocolRefused_) {
                ngtcp2_connection_close_error_set_transport_error_tls_alert(
                    &error, kAlertNoApplicationProtocol, nullptr, 0);
                sendConnectionClose(error);
                terminate(QuicError::handshakeFailed(kAlertNoApplicationProtocol), true);
                return;
            }
            ngtcp2_connection_close_error_set_transport_error_liberr(&error, code, nullptr, 0);
            sendConnectionClose(error);
            terminate(QuicError::protocol(libraryErrorText(code)), true);
            return;
    }
}

void ConnectionImpl::sendConnectionClose(const ngtcp2_connection_close_error& error) {
    if (ngtcp2_conn_is_in_closing_period(conn_) || ngtcp2_conn_is_in_draining_period(conn_)) {
        return;
    }
    ngtcp2_path_storage storage;
    ngtcp2_path_storage_zero(&storage);
    ngtcp2_pkt_info info{};
    ngtcp2_ssize written = ngtcp2_conn_write_connection_close(conn_, &storage.path, &info, sendBuffer_.data(),
                                                              sendBuffer_.size(), &error, monotonicNow());
    if (written <= 0) {
        return;
    }
    closeDatagram_ = BlockedDatagram{std::vector<uint8_t>(sendBuffer_.begin(), sendBuffer_.begin() + written),
                                     static_cast<UdpSocket*>(storage.path.user_data),
                                     addressOf(storage.path.local), addressOf(storage.path.remote)};
    sendDatagram(*closeDatagram_);
}

void ConnectionImpl::terminate(std::optional<QuicError> error, bool keepForClosingPeriod) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (error) {
        quicLog().debug("QUIC-Verbindung zu {} beendet: {}", remote_.endpoint().address().to_string(),
                        error->text());
    }
    for (auto& [id, stream] : streams_) {
        stream->markClosed(error);
        postEvent([stream = stream] {
            stream->deliverReceived();
            stream->deliverClosed();
        });
    }
    streams_.clear();
    sendQueue_.clear();
    localStreamsOpen_ = 0;
    postEvent([weak = weak_from_this(), error] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto handler = std::move(self->handlers_.onClosed);
        self->handlers_ = {};
        if (handler) {
            handler(error);
        }
    });
    if (keepForClosingPeriod) {
        // Late packets of this connection must not look like a new connection; keep its IDs for three
        // probe timeouts.
        inClosingPeriod_ = true;
        closeDeadline_ = monotonicNow() + 3 * ngtcp2_conn_get_pto(conn_);
        armTimer();
    } else {
        release();
    }
}

void ConnectionImpl::release() {
    if (released_) {
        return;
    }
    released_ = true;
    timer_.cancel();
    if (server_) {
        if (auto endpoint = endpoint_.lock()) {
            endpoint->remove(*this);
        }
    } else if (socket_) {
        socket_->close();
    }
}

// ---------------------------------------------------------------------------------------------------
// ServerEndpoint

void ServerEndpoint::open(const asio::ip::address& address, uint16_t port) {
    try {
        sockets_.push_back(std::make_unique<UdpSocket>(UdpSocket::bind(context_, {address, port})));
    } catch (const std::system_error& error) {
        throw QuicError::socket(error.code().message());
    }
    port_ = sockets_.front()->localEndpoint().port();
    if (address == asio::ip::address(asio::ip::address_v4::any())) {
        try {
            sockets_.push_back(
                std::make_unique<UdpSocket>(UdpSocket::bind(context_, {asio::ip::address_v6::any(), port_})));
        } catch (const std::system_error& error) {
            // A computer without IPv6, or the port taken there: viewers reach us by IPv4.
            quicLog().debug("QUIC: kein IPv6 auf Port {}: {}", port_, error.code().message());
        }
    }
}

void ServerEndpoint::startReceiving() {
    for (const auto& socket : sockets_) {
        if (parameters_.transport.trafficClass != 0) {
            socket->setTrafficClass(parameters_.transport.trafficClass);
        }
        receiveLoop(socket.get());
    }
}

void ServerEndpoint::receiveLoop(UdpSocket* socket) {
    socket->waitReadable([self = shared_from_this(), socket](const std::error_code& error) {
        if (!error) {
            self->onReadable(socket);
        } else if (error != asio::error::operation_aborted && socket->isOpen()) {
            self->fail(QuicError::socket(error.message()));
        }
    });
}

void ServerEndpoint::fail(const QuicError& error) {
    if (failed_) {
        return;
    }
    failed_ = true;
    quicLog().debug("QUIC-Listener auf Port {}: {}", port_, error.text());
    auto handler = std::move(failureHandler_);
    failureHandler_ = nullptr;
    stopAccepting();
    if (handler) {
        handler(error);
    }
}

void ServerEndpoint::onReadable(UdpSocket* socket) {
    std::vector<std::shared_ptr<ConnectionImpl>> touched;
    for (int i = 0; i < kReceiveBatch; ++i) {
        std::optional<UdpSocket::Datagram> datagram;
        try {
            datagram = socket->receive(buffer_);
        } catch (const std::system_error& error) {
            // A socket that cannot be read any more takes the listener with it; the owner decides
            // whether to open another.
            for (const auto& connection : touched) {
                connection->afterInput();
            }
            fail(QuicError::socket(error.code().message()));
            return;
        }
        if (!datagram) {
            break;
        }
        onDatagram(socket, *datagram, touched);
    }
    for (const auto& connection : touched) {
        connection->afterInput();
    }
    if (socket->isOpen() && !failed_) {
        receiveLoop(socket);
    }
}

void ServerEndpoint::onDatagram(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                std::vector<std::shared_ptr<ConnectionImpl>>& touched) {
    ngtcp2_version_cid cid{};
    int status =
        ngtcp2_pkt_decode_version_cid(&cid, datagram.data.data(), datagram.data.size(), kServerCidLength);
    if (status == NGTCP2_ERR_VERSION_NEGOTIATION) {
        if (accepting_) {
            sendVersionNegotiation(socket, datagram, cid);
        }
        return;
    }
    if (status != 0) {
        return;
    }
    std::shared_ptr<ConnectionImpl> connection;
    if (auto found = connections_.find(cidKey(cid.dcid, cid.dcidlen)); found != connections_.end()) {
        connection = found->second;
    } else {
        if (!accepting_) {
            return;
        }
        ngtcp2_pkt_hd header{};
        if (ngtcp2_accept(&header, datagram.data.data(), datagram.data.size()) != 0) {
            return;
        }
        if (!admits()) {
            refuse(socket, datagram, header);
            return;
        }
        try {
            connection = ConnectionImpl::makeServer(context_, shared_from_this(), parameters_, header, socket,
                                                    datagram);
        } catch (const QuicError& error) {
            quicLog().warn("QUIC: Verbindung nicht angenommen: {}", error.text());
            return;
        }
        members_[connection.get()] = false;
        ++handshakes_;
    }
    connection->feed(socket, datagram);
    if (std::find(touched.begin(), touched.end(), connection) == touched.end()) {
        touched.push_back(connection);
    }
}

bool ServerEndpoint::admits() const {
    const auto& limits = parameters_;
    return (limits.maxConnections == 0 || members_.size() < limits.maxConnections) &&
           (limits.maxHandshakes == 0 || handshakes_ < limits.maxHandshakes);
}

void ServerEndpoint::refuse(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                            const ngtcp2_pkt_hd& header) {
    // Only a client's first packet (Initial) may open a connection; anything else is dropped unanswered.
    if (header.type != NGTCP2_PKT_INITIAL) {
        return;
    }
    // Told at once, the client need not wait for its handshake to time out; nothing is kept for it.
    std::array<uint8_t, NGTCP2_MAX_UDP_PAYLOAD_SIZE> packet{};
    ngtcp2_ssize written =
        ngtcp2_crypto_write_connection_close(packet.data(), packet.size(), header.version, &header.scid,
                                             &header.dcid, NGTCP2_CONNECTION_REFUSED, nullptr, 0);
    if (written > 0) {
        socket->send({packet.data(), static_cast<size_t>(written)}, datagram.local, datagram.remote);
    }
    if (const auto refusals = refusalLog_.count(monotonicNow())) {
        quicLog().warn("QUIC: {} neue Verbindung(en) abgewiesen ({} Verbindungen, {} im Handshake)",
                       *refusals, members_.size(), handshakes_);
    }
}

void ServerEndpoint::sendVersionNegotiation(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                            const ngtcp2_version_cid& cid) {
    std::array<uint8_t, NGTCP2_MAX_UDP_PAYLOAD_SIZE> packet{};
    uint8_t unused = 0;
    randomBytes(&unused, 1);
    const uint32_t versions[] = {NGTCP2_PROTO_VER_V1};
    ngtcp2_ssize written = ngtcp2_pkt_write_version_negotiation(
        packet.data(), packet.size(), unused, cid.scid, cid.scidlen, cid.dcid, cid.dcidlen, versions, 1);
    if (written > 0) {
        socket->send({packet.data(), static_cast<size_t>(written)}, datagram.local, datagram.remote);
    }
}

void ServerEndpoint::remove(const ConnectionImpl& connection) {
    if (auto member = members_.find(&connection); member != members_.end()) {
        if (!member->second) {
            --handshakes_;
        }
        members_.erase(member);
    }
    for (const std::string& key : connection.cidKeys()) {
        auto found = connections_.find(key);
        if (found != connections_.end() && found->second.get() == &connection) {
            connections_.erase(found);
        }
    }
    closeIfIdle();
}

void ServerEndpoint::connectionReady(const std::shared_ptr<ConnectionImpl>& connection) {
    if (auto member = members_.find(connection.get()); member != members_.end() && !member->second) {
        member->second = true;
        --handshakes_;
    }
    if (!accepting_ || !connectionHandler_) {
        // Nobody will ever use it; do not let the client wait for the idle timeout.
        connection->close(0);
        return;
    }
    auto handler = connectionHandler_;
    handler(connection);
}

void ServerEndpoint::stopAccepting() {
    accepting_ = false;
    connectionHandler_ = nullptr;
    closeIfIdle();
}

void ServerEndpoint::closeIfIdle() {
    if (accepting_ || !connections_.empty()) {
        return;
    }
    for (const auto& socket : sockets_) {
        socket->close();
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Factories

std::shared_ptr<QuicConnection> QuicConnection::connect(asio::io_context& context,
                                                        const asio::ip::udp::endpoint& remote,
                                                        QuicClientParameters parameters) {
    return ConnectionImpl::makeClient(context, remote, std::move(parameters));
}

std::shared_ptr<QuicListener> QuicListener::listen(asio::io_context& context, QuicServerParameters parameters,
                                                   const asio::ip::address& address, uint16_t port) {
    if (!parameters.identity) {
        throw QuicError::protocol("keine TLS-Identität");
    }
    auto endpoint = std::make_shared<ServerEndpoint>(context, std::move(parameters));
    endpoint->open(address, port);
    endpoint->startReceiving();
    return std::make_shared<ListenerImpl>(endpoint);
}

}  // namespace kelvora
