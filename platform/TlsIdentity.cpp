#include "platform/TlsIdentity.h"

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs12.h>
#include <gnutls/x509.h>

#include <array>

namespace kelvora {
namespace {

void check(int status) {
    if (status < 0) {
        throw TlsError(status);
    }
}

// Owns what gnutls_pkcs12_simple_parse hands out.
struct ParsedContainer {
    gnutls_pkcs12_t container = nullptr;
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t* chain = nullptr;
    unsigned int chainLength = 0;

    ~ParsedContainer() {
        for (unsigned int i = 0; i < chainLength; ++i) {
            gnutls_x509_crt_deinit(chain[i]);
        }
        gnutls_free(chain);
        if (key != nullptr) {
            gnutls_x509_privkey_deinit(key);
        }
        if (container != nullptr) {
            gnutls_pkcs12_deinit(container);
        }
    }
};

// The signature scheme a TLS 1.3 handshake would use with this kind of key.
gnutls_sign_algorithm_t handshakeSignature(gnutls_pubkey_t publicKey) {
    unsigned int bits = 0;
    switch (gnutls_pubkey_get_pk_algorithm(publicKey, &bits)) {
        case GNUTLS_PK_RSA:
            return GNUTLS_SIGN_RSA_PSS_RSAE_SHA256;
        case GNUTLS_PK_RSA_PSS:
            return GNUTLS_SIGN_RSA_PSS_SHA256;
        case GNUTLS_PK_EDDSA_ED25519:
            return GNUTLS_SIGN_EDDSA_ED25519;
        case GNUTLS_PK_EDDSA_ED448:
            return GNUTLS_SIGN_EDDSA_ED448;
        case GNUTLS_PK_ECDSA: {
            gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
            check(gnutls_pubkey_export_ecc_raw2(publicKey, &curve, nullptr, nullptr, 0));
            switch (curve) {
                case GNUTLS_ECC_CURVE_SECP256R1:
                    return GNUTLS_SIGN_ECDSA_SECP256R1_SHA256;
                case GNUTLS_ECC_CURVE_SECP384R1:
                    return GNUTLS_SIGN_ECDSA_SECP384R1_SHA384;
                case GNUTLS_ECC_CURVE_SECP521R1:
                    return GNUTLS_SIGN_ECDSA_SECP521R1_SHA512;
                default:
                    return GNUTLS_SIGN_UNKNOWN;
            }
        }
        default:
            return GNUTLS_SIGN_UNKNOWN;
    }
}

// Signs a random challenge with the private key and verifies it with the certificate, the same proof a
// TLS 1.3 server gives in its CertificateVerify message.
void proveHandshakeSignature(gnutls_x509_privkey_t key, gnutls_x509_crt_t certificate) {
    gnutls_privkey_t privateKey = nullptr;
    gnutls_pubkey_t publicKey = nullptr;
    gnutls_datum_t signature{nullptr, 0};
    auto cleanUp = [&] {
        gnutls_free(signature.data);
        if (publicKey != nullptr) {
            gnutls_pubkey_deinit(publicKey);
        }
        if (privateKey != nullptr) {
            gnutls_privkey_deinit(privateKey);
        }
    };
    try {
        check(gnutls_privkey_init(&privateKey));
        check(gnutls_privkey_import_x509(privateKey, key, 0));
        check(gnutls_pubkey_init(&publicKey));
        check(gnutls_pubkey_import_x509(publicKey, certificate, 0));
        gnutls_sign_algorithm_t scheme = handshakeSignature(publicKey);
        if (scheme == GNUTLS_SIGN_UNKNOWN) {
            throw TlsError(GNUTLS_E_UNSUPPORTED_SIGNATURE_ALGORITHM);
        }
        std::array<uint8_t, 32> challenge{};
        check(gnutls_rnd(GNUTLS_RND_NONCE, challenge.data(), challenge.size()));
        gnutls_datum_t data{challenge.data(), static_cast<unsigned int>(challenge.size())};
        check(gnutls_privkey_sign_data2(privateKey, scheme, 0, &data, &signature));
        check(gnutls_pubkey_verify_data2(publicKey, scheme, 0, &data, &signature));
    } catch (...) {
        cleanUp();
        throw;
    }
    cleanUp();
}

}  // namespace

TlsError::TlsError(int code) : code_(code), text_(gnutls_strerror(code)) {}

std::shared_ptr<const TlsIdentity> TlsIdentity::fromPkcs12(std::span<const uint8_t> der,
                                                           const std::string& password) {
    ParsedContainer parsed;
    check(gnutls_pkcs12_init(&parsed.container));
    gnutls_datum_t blob{const_cast<uint8_t*>(der.data()), static_cast<unsigned int>(der.size())};
    check(gnutls_pkcs12_import(parsed.container, &blob, GNUTLS_X509_FMT_DER, 0));
    // A wrong pass phrase shows here as a failed integrity check, before any decryption is tried.
    check(gnutls_pkcs12_verify_mac(parsed.container, password.c_str()));
    check(gnutls_pkcs12_simple_parse(parsed.container, password.c_str(), &parsed.key, &parsed.chain,
                                     &parsed.chainLength, nullptr, nullptr, nullptr, 0));
    if (parsed.key == nullptr || parsed.chainLength == 0) {
        throw TlsError(GNUTLS_E_CERTIFICATE_KEY_MISMATCH);
    }
    proveHandshakeSignature(parsed.key, parsed.chain[0]);

    std::shared_ptr<TlsIdentity> identity(new TlsIdentity());
    gnutls_certificate_credentials_t credentials = nullptr;
    check(gnutls_certificate_allocate_credentials(&credentials));
    identity->credentials_ = credentials;
    check(gnutls_certificate_set_x509_key(credentials, parsed.chain, static_cast<int>(parsed.chainLength),
                                          parsed.key));

    gnutls_datum_t leaf{nullptr, 0};
    check(gnutls_x509_crt_export2(parsed.chain[0], GNUTLS_X509_FMT_DER, &leaf));
    identity->certificateDer_.assign(leaf.data, leaf.data + leaf.size);
    gnutls_free(leaf.data);
    return identity;
}

TlsIdentity::~TlsIdentity() {
    if (credentials_ != nullptr) {
        gnutls_certificate_free_credentials(static_cast<gnutls_certificate_credentials_t>(credentials_));
    }
}

}  // namespace kelvora
