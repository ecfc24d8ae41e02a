#include "platform/TlsIdentity.h"

#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include "support/TestIdentity.h"

using namespace kelvora;

TEST(TlsIdentity, ImportsAnRsaContainerAndKeepsTheLeafCertificate) {
    auto container = test::makePkcs12("rsa:2048", "pass phrase");
    auto identity = TlsIdentity::fromPkcs12(container, "pass phrase");
    ASSERT_TRUE(identity);
    EXPECT_NE(identity->nativeCredentials(), nullptr);
    // A DER certificate is one SEQUENCE with a two-byte length.
    ASSERT_GT(identity->certificateDer().size(), 300u);
    EXPECT_EQ(identity->certificateDer()[0], 0x30);
}

TEST(TlsIdentity, AWrongPassPhraseFailsTheIntegrityCheck) {
    auto container = test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "right");
    try {
        TlsIdentity::fromPkcs12(container, "wrong");
        FAIL() << "imported with a wrong pass phrase";
    } catch (const TlsError& error) {
        EXPECT_EQ(error.code(), GNUTLS_E_MAC_VERIFY_FAILED);
        EXPECT_FALSE(error.text().empty());
    }
}

TEST(TlsIdentity, AnEmptyPassPhraseIsAPassPhraseToo) {
    auto container = test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "");
    EXPECT_TRUE(TlsIdentity::fromPkcs12(container, ""));
}

TEST(TlsIdentity, AKeyThatTls13CannotSignWithIsRefused) {
    test::TemporaryFolder folder;
    auto params = (folder.path() / "dsa.pem").string();
    ASSERT_EQ(std::system(("/usr/bin/openssl dsaparam -out '" + params + "' 2048 >/dev/null 2>&1").c_str()),
              0);
    auto container = test::makePkcs12("dsa:'" + params + "'", "x");
    EXPECT_THROW(TlsIdentity::fromPkcs12(container, "x"), TlsError);
}

TEST(TlsIdentity, GarbageIsNotAContainer) {
    std::vector<uint8_t> garbage(100, 0x42);
    EXPECT_THROW(TlsIdentity::fromPkcs12(garbage, "x"), TlsError);
}
