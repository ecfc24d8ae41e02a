#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kelvora {

// Why a QUIC connection or listener ended or could not start.
class QuicError : public std::exception {
  public:
    enum class Kind {
        // The socket could not be opened, bound or used; `detail` holds the system's text.
        socket,
        // The TLS handshake failed: untrusted certificate, no common application protocol, no common
        // parameters. `code` is the TLS alert.
        handshakeFailed,
        // Nothing was heard from the peer for the idle timeout, or the handshake did not finish in time.
        timedOut,
        // The peer closed the connection; `code` is its error code (0 for a normal close).
        closedByPeer,
        // The peer's address answered that nothing listens on that port.
        refused,
        // The transport broke its own rules or ran out of resources; `detail` names the failure.
        protocol,
    };

    static QuicError socket(std::string detail) { return QuicError(Kind::socket, 0, std::move(detail)); }
    static QuicError handshakeFailed(uint64_t alert) { return QuicError(Kind::handshakeFailed, alert, {}); }
    static QuicError timedOut() { return QuicError(Kind::timedOut, 0, {}); }
    static QuicError closedByPeer(uint64_t code) { return QuicError(Kind::closedByPeer, code, {}); }
    static QuicError refused() { return QuicError(Kind::refused, 0, {}); }
    static QuicError protocol(std::string detail) { return QuicError(Kind::protocol, 0, std::move(detail)); }

    Kind kind() const { return kind_; }
    uint64_t code() const { return code_; }
    const std::string& detail() const { return detail_; }

    // A German sentence for logs and status texts.
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    bool operator==(const QuicError& other) const {
        return kind_ == other.kind_ && code_ == other.code_ && detail_ == other.detail_;
    }

  private:
    QuicError(Kind kind, uint64_t code, std::string detail);

    Kind kind_;
    uint64_t code_;
    std::string detail_;
    std::string text_;
};

}  // namespace kelvora
