#include "core/QUICConfiguration.h"

#include <gnutls/crypto.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "core/Log.h"

namespace kelvora {

QuicTransportOptions QUICConfiguration::quicOptions() {
    QuicTransportOptions options;
    options.applicationProtocols = {std::string(applicationProtocol)};
    options.idleTimeoutMs = idleTimeoutMs;
    options.maxAckDelayMs = maxAckDelayMs;
    options.initialMaxData = initialMaxData;
    options.initialMaxStreamDataBidiLocal = initialMaxStreamDataBidirectionalLocal;
    options.initialMaxStreamDataBidiRemote = initialMaxStreamDataBidirectionalRemote;
    options.initialMaxStreamDataUni = initialMaxStreamDataUnidirectional;
    options.initialMaxStreamsBidi = maximumBidirectionalStreams;
    options.initialMaxStreamsUni = initialMaxStreamsUnidirectional;
    options.trafficClass = interactiveVideoTrafficClass;
    return options;
}

QuicServerParameters QUICConfiguration::serverParameters(std::shared_ptr<const TlsIdentity> identity) {
    QuicServerParameters parameters{quicOptions(), std::move(identity)};
    parameters.transport.initialMaxData = senderConnectionWindow;
    parameters.transport.initialMaxStreamDataBidiLocal = senderStreamWindow;
    parameters.transport.initialMaxStreamDataBidiRemote = senderStreamWindow;
    parameters.transport.initialMaxStreamDataUni = 0;
    parameters.transport.initialMaxStreamsBidi = senderViewerStreams;
    parameters.transport.initialMaxStreamsUni = 0;
    parameters.transport.handshakeTimeoutMs = senderHandshakeTimeoutMs;
    parameters.maxConnections = senderMaxConnections;
    parameters.maxHandshakes = senderMaxHandshakes;
    return parameters;
}

QuicClientParameters QUICConfiguration::clientParameters(std::string_view expectedFingerprint) {
    std::string expected(expectedFingerprint);
    std::transform(expected.begin(), expected.end(), expected.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return {quicOptions(), [expected](std::span<const uint8_t> leafCertificateDer) {
                if (fingerprint(leafCertificateDer) == expected) {
                    return true;
                }
                // Only a viewer checks a certificate, so the complaint is the viewer's.
                ViewerLog::network().error("QUIC: Zertifikat passt nicht zum erwarteten Fingerabdruck");
                return false;
            }};
}

std::string QUICConfiguration::fingerprint(std::span<const uint8_t> certificateDer) {
    std::array<uint8_t, 32> digest{};
    gnutls_hash_fast(GNUTLS_DIG_SHA256, certificateDer.data(), certificateDer.size(), digest.data());
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace kelvora
