#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kelvora {

// A failure of the TLS library, with its own status code (a negative GnuTLS error number).
class TlsError : public std::exception {
  public:
    explicit TlsError(int code);
    TlsError(int code, std::string text) : code_(code), text_(std::move(text)) {}

    int code() const { return code_; }
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    int code_;
    std::string text_;
};

// A certificate with its private key, ready to be presented in TLS 1.3 handshakes. Immutable once made,
// so one identity may serve any number of connections on any thread.
class TlsIdentity {
  public:
    // Imports a DER-coded PKCS#12 container protected by `password` (an empty password is a password
    // too). The key must belong to the first certificate and be able to make a TLS 1.3 signature that
    // the certificate's public key verifies; an identity that could never complete a handshake is
    // refused here rather than in front of a viewer. Throws TlsError.
    static std::shared_ptr<const TlsIdentity> fromPkcs12(std::span<const uint8_t> der,
                                                         const std::string& password);

    ~TlsIdentity();
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    // The DER bytes of the certificate that handshakes present (the leaf).
    const std::vector<uint8_t>& certificateDer() const { return certificateDer_; }

    // The library's certificate credentials (gnutls_certificate_credentials_t), for the QUIC core.
    void* nativeCredentials() const { return credentials_; }

  private:
    TlsIdentity() = default;

    void* credentials_ = nullptr;
    std::vector<uint8_t> certificateDer_;
};

}  // namespace kelvora
