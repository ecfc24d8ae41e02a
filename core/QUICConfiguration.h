#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/QuicParameters.h"
#include "platform/TlsIdentity.h"

namespace kelvora {

// The QUIC media transport's settings in one place, so that sender and viewer always agree: the
// transport options, the sender's listener parameters with its identity, the viewer's client parameters
// that trust the sender's certificate only by its SHA-256 fingerprint, the text form of that
// fingerprint, the welcome keys that carry port and fingerprint, and the constants of connection
// rotation.
struct QUICConfiguration {
    QUICConfiguration() = delete;

    // Keys of the welcome's engine parameters.
    struct ParameterKey {
        ParameterKey() = delete;
        // The UDP port of the sender's QUIC listener, as decimal text.
        static constexpr std::string_view quicPort = "quicPort";
        // The fingerprint of the sender's certificate, in the text form of `fingerprint`.
        static constexpr std::string_view quicFingerprint = "quicFingerprint";
    };

    // The only application protocol offered and accepted.
    static constexpr std::string_view applicationProtocol = "kelvora/1";
    static constexpr uint64_t idleTimeoutMs = 8000;
    // Acknowledgements go out within this time. Both ends are on one local network, where a peer answers
    // in well under a millisecond; a lost last packet of a frame is then resent after a few milliseconds
    // instead of the 25 ms that QUIC assumes for the internet, which at 30 frames per second came close
    // to making every such frame late and pushed the frames behind it past the receiver's wait.
    static constexpr uint64_t maxAckDelayMs = 1;
    // The viewer's receive windows, the ones frames travel under. Stream data that arrives ahead of a gap
    // waits in the transport, and counts against these windows until it reaches the viewer's engine; so
    // no window exceeds what that engine holds of frames at most (two of the largest), and what a sender
    // can make a viewer keep stays within twice that. Credit returns as the engine reads, so over a local
    // network's round trip these windows still carry many times the highest bitrate a sender plans.
    static constexpr uint64_t initialMaxData = 0x4000000;
    static constexpr uint64_t initialMaxStreamDataBidirectionalLocal = 0x1000000;
    static constexpr uint64_t initialMaxStreamDataBidirectionalRemote = 0x1000000;
    static constexpr uint64_t initialMaxStreamDataUnidirectional = 0x1000000;
    static constexpr uint64_t maximumBidirectionalStreams = 4096;
    static constexpr uint64_t initialMaxStreamsUnidirectional = 16;
    // Frame streams opened on one connection after which the sender asks the viewer for a fresh
    // connection; well below the streams the viewer allows, so frames keep flowing until it arrives.
    static constexpr uint64_t rotationStreamThreshold = 3500;
    // The engine-signal kind of that request.
    static constexpr std::string_view rotateSignal = "rotate";
    // The traffic class of interactive video (DSCP AF41).
    static constexpr uint8_t interactiveVideoTrafficClass = 0x88;

    // What the sender grants each viewer connection. A viewer sends nothing but its attach message and the
    // ends of frame streams, so the sender's own receive windows and stream grant are small: they bound
    // what one connection can make the sender hold, the transport's reordering buffers included. The
    // viewer's windows above are the ones frames travel under.
    static constexpr uint64_t senderConnectionWindow = 0x40000;
    static constexpr uint64_t senderStreamWindow = 0x10000;
    static constexpr uint64_t senderViewerStreams = 4;
    // Connections the sender's listener holds at once, and of those still in their handshake; clients
    // beyond either are refused while the connections already there keep working.
    static constexpr std::size_t senderMaxConnections = 64;
    static constexpr std::size_t senderMaxHandshakes = 16;
    // A handshake takes milliseconds in a local network; one that keeps going past this is dropped.
    static constexpr uint64_t senderHandshakeTimeoutMs = 5000;

    // The transport options both sides use.
    static QuicTransportOptions quicOptions();
    // The sender's listener parameters: the options with the sender's own receive windows and limits, and
    // the identity it proves. The viewer presents no certificate and none is asked for.
    static QuicServerParameters serverParameters(std::shared_ptr<const TlsIdentity> identity);
    // The viewer's parameters: the options and a certificate check that accepts exactly the leaf
    // certificate whose fingerprint is `expectedFingerprint` (either case), logging a mismatch. There is
    // no chain, host-name or expiry check: the sender's certificate is self-signed and the pin is the
    // whole trust decision.
    static QuicClientParameters clientParameters(std::string_view expectedFingerprint);
    // SHA-256 over the certificate's DER bytes as 64 lower-case hexadecimal characters.
    static std::string fingerprint(std::span<const uint8_t> certificateDer);
};

}  // namespace kelvora
