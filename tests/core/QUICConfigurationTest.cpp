#include "core/QUICConfiguration.h"

#include <gtest/gtest.h>

#include "core/Log.h"
#include "platform/QuicEndpoint.h"
#include "support/IoThread.h"
#include "support/LogCapture.h"
#include "support/TestIdentity.h"

using namespace kelvora;
using kelvora::test::IoThread;
using kelvora::test::Signal;

namespace {

const std::string kMismatch = "QUIC: Zertifikat passt nicht zum erwarteten Fingerabdruck";

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::shared_ptr<const TlsIdentity> senderIdentity() {
    static auto identity = TlsIdentity::fromPkcs12(
        test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "pw", "Kelvora Sender"), "pw");
    return identity;
}

// A one-character change that keeps the text a valid fingerprint.
std::string altered(std::string fingerprint) {
    fingerprint[10] = fingerprint[10] == '0' ? '1' : '0';
    return fingerprint;
}

}  // namespace

TEST(QUICConfiguration, FingerprintIsTheLowerCaseHexSha256OfTheBytes) {
    EXPECT_EQ(QUICConfiguration::fingerprint(bytesOf("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string ofCertificate = QUICConfiguration::fingerprint(senderIdentity()->certificateDer());
    ASSERT_EQ(ofCertificate.size(), 64u);
    EXPECT_EQ(ofCertificate.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(QUICConfiguration, OptionsCarryTheProtocolsWindowsAndStreamLimits) {
    QuicTransportOptions options = QUICConfiguration::quicOptions();
    EXPECT_EQ(options.applicationProtocols, std::vector<std::string>{"kelvora/1"});
    EXPECT_EQ(options.idleTimeoutMs, 8000u);
    EXPECT_EQ(options.initialMaxData, 67108864u);
    EXPECT_EQ(options.initialMaxStreamDataBidiLocal, 16777216u);
    EXPECT_EQ(options.initialMaxStreamDataBidiRemote, 16777216u);
    EXPECT_EQ(options.initialMaxStreamDataUni, 16777216u);
    EXPECT_EQ(options.initialMaxStreamsBidi, 4096u);
    EXPECT_EQ(options.initialMaxStreamsUni, 16u);
    // The sender's listener speaks the same protocol but grants a viewer, who only attaches, far less.
    auto server = QUICConfiguration::serverParameters(senderIdentity());
    EXPECT_EQ(server.transport.applicationProtocols, options.applicationProtocols);
    EXPECT_EQ(server.transport.idleTimeoutMs, options.idleTimeoutMs);
    EXPECT_LE(server.transport.initialMaxData, 1u << 20);
    EXPECT_LE(server.transport.initialMaxStreamsBidi, 16u);
    EXPECT_EQ(server.transport.initialMaxStreamsUni, 0u);
    EXPECT_GT(server.maxConnections, 0u);
    EXPECT_GT(server.maxHandshakes, 0u);
    EXPECT_EQ(QUICConfiguration::clientParameters("00").transport, options);
    EXPECT_LT(QUICConfiguration::rotationStreamThreshold, QUICConfiguration::maximumBidirectionalStreams);
}

TEST(QUICConfiguration, ThePinAcceptsItsCertificateInEitherCaseAndRefusesAnyOther) {
    const auto& leaf = senderIdentity()->certificateDer();
    std::string pin = QUICConfiguration::fingerprint(leaf);
    std::string upper = pin;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });

    test::LogCapture log(ViewerLog::network());
    EXPECT_TRUE(QUICConfiguration::clientParameters(pin).verifyPeer(leaf));
    EXPECT_TRUE(QUICConfiguration::clientParameters(upper).verifyPeer(leaf));
    EXPECT_EQ(log.count(kMismatch), 0u);
    EXPECT_FALSE(QUICConfiguration::clientParameters(altered(pin)).verifyPeer(leaf));
    EXPECT_EQ(log.count(kMismatch), 1u);
}

// The whole path: a viewer pinned to another fingerprint fails its handshake with the sender, and the
// mismatch is logged once for that handshake.
TEST(QUICConfiguration, AViewerPinnedToAnotherFingerprintCannotConnectAndTheMismatchIsLoggedOnce) {
    std::string pin = QUICConfiguration::fingerprint(senderIdentity()->certificateDer());
    test::LogCapture log(ViewerLog::network());
    IoThread io;
    auto listener = io.call([&] {
        auto listener =
            QuicListener::listen(io.context(), QUICConfiguration::serverParameters(senderIdentity()),
                                 asio::ip::address_v4::loopback());
        listener->setConnectionHandler(
            [](std::shared_ptr<QuicConnection> connection) { connection->close(0); });
        return listener;
    });

    auto attempt = [&](const std::string& expected) {
        Signal<std::optional<QuicError>> closed;
        Signal<bool> ready;
        auto connection = io.call([&] {
            auto connection =
                QuicConnection::connect(io.context(), {asio::ip::address_v4::loopback(), listener->port()},
                                        QUICConfiguration::clientParameters(expected));
            connection->setHandlers({[&] { ready.set(true); },
                                     {},
                                     [&](const std::optional<QuicError>& error) { closed.set(error); }});
            return connection;
        });
        auto result = closed.wait();
        io.call([&] { connection.reset(); });
        return std::make_pair(ready.isSet(), result ? *result : std::nullopt);
    };

    auto [pinnedReady, pinnedError] = attempt(pin);
    EXPECT_TRUE(pinnedReady);
    EXPECT_EQ(log.count(kMismatch), 0u);

    auto [wrongReady, wrongError] = attempt(altered(pin));
    EXPECT_FALSE(wrongReady);
    ASSERT_TRUE(wrongError);
    EXPECT_EQ(wrongError->kind(), QuicError::Kind::handshakeFailed);
    io.call([&] { listener.reset(); });
    io.drain();
    EXPECT_EQ(log.count(kMismatch), 1u);
}
