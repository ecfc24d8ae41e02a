#include "platform/QuicError.h"

namespace kelvora {
namespace {

std::string describe(QuicError::Kind kind, uint64_t code, const std::string& detail) {
    switch (kind) {
        case QuicError::Kind::socket:
            return "Netzwerkfehler: " + detail;
        case QuicError::Kind::handshakeFailed:
            return "TLS-Handshake fehlgeschlagen (Alarm " + std::to_string(code) + ")";
        case QuicError::Kind::timedOut:
            return "Zeitüberschreitung der QUIC-Verbindung";
        case QuicError::Kind::closedByPeer:
            return "Gegenstelle hat die QUIC-Verbindung beendet (Code " + std::to_string(code) + ")";
        case QuicError::Kind::refused:
            return "Gegenstelle nimmt keine QUIC-Verbindungen an";
        case QuicError::Kind::protocol:
            return "QUIC-Protokollfehler: " + detail;
    }
    return detail;
}

}  // namespace

QuicError::QuicError(Kind kind, uint64_t code, std::string detail)
    : kind_(kind), code_(code), detail_(std::move(detail)), text_(describe(kind_, code_, detail_)) {}

}  // namespace kelvora
