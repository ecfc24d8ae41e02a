#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/TlsIdentity.h"

namespace kelvora {

// The transport settings one side of a QUIC connection announces and lives by. Both sides of a
// protocol must be given the same values; the application layer owns them.
struct QuicTransportOptions {
    // Application protocols offered (client) or accepted (server); a peer that agrees on none of them is
    // refused during the handshake.
    std::vector<std::string> applicationProtocols;
    uint64_t idleTimeoutMs = 30000;
    uint64_t initialMaxData = 1 << 20;
    uint64_t initialMaxStreamDataBidiLocal = 256 << 10;
    uint64_t initialMaxStreamDataBidiRemote = 256 << 10;
    uint64_t initialMaxStreamDataUni = 256 << 10;
    uint64_t initialMaxStreamsBidi = 100;
    uint64_t initialMaxStreamsUni = 3;
    // The first round-trip estimate before any sample exists. The library's default (333 ms) paces the
    // first flights for a distant internet server and holds back a LAN handshake by tens of milliseconds.
    uint64_t initialRttMs = 50;
    // The longest this side waits before acknowledging what it received. The peer adds it to its probe
    // timeout, the time after which it resends the last packets of a burst that went unanswered; the
    // library's default (25 ms) lets a lost last packet hold a message back for most of a frame interval.
    uint64_t maxAckDelayMs = 25;
    // How long a handshake may take before the connection is dropped; 0 leaves it to the idle timeout,
    // which a peer that keeps sending never reaches.
    uint64_t handshakeTimeoutMs = 0;
    // The IP traffic class (TOS byte) of every datagram; 0 leaves the system's default.
    uint8_t trafficClass = 0;

    bool operator==(const QuicTransportOptions&) const = default;
};

// What a listening endpoint needs: its options and the identity it proves in every handshake.
struct QuicServerParameters {
    QuicTransportOptions transport;
    std::shared_ptr<const TlsIdentity> identity;
    // Connections the listener holds at once, in any state (0: no limit). Clients beyond it are refused
    // with CONNECTION_REFUSED while the connections already there keep working.
    std::size_t maxConnections = 0;
    // Of those, connections still in their handshake (0: no limit).
    std::size_t maxHandshakes = 0;
};

// Decides whether the certificate a server presented is trusted, given the DER bytes of its leaf
// certificate. Runs during the handshake on the connection's thread; false aborts the handshake.
using QuicPeerVerifier = std::function<bool(std::span<const uint8_t> leafCertificateDer)>;

// What a connecting endpoint needs: its options and the one trust decision about the server. There is
// no default trust store: without a verifier every certificate is refused.
struct QuicClientParameters {
    QuicTransportOptions transport;
    QuicPeerVerifier verifyPeer;
};

}  // namespace kelvora
