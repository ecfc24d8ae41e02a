// Static trampolines from the library's callbacks into the connection object.

#include <gnutls/crypto.h>

#include <algorithm>

#include "platform/QuicConnectionImpl.h"
#include "platform/QuicServerEndpoint.h"

namespace kelvora::quic {

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

}  // namespace kelvora::quic
