#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/TlsIdentity.h"

namespace kelvora {

// Why the QUIC identity could not be made or loaded. Failures to read or write the files themselves are
// passed on as the system's own errors (std::system_error, std::filesystem::filesystem_error).
class IdentityError : public std::exception {
  public:
    enum class Kind { generationFailed, importFailed };

    // The openssl tool could not run or failed; `detail` is its error output or why it could not start.
    static IdentityError generationFailed(std::string detail) {
        return IdentityError(Kind::generationFailed, std::move(detail), 0);
    }
    // The stored container could not be imported; `status` is the TLS library's code.
    static IdentityError importFailed(int32_t status) {
        return IdentityError(Kind::importFailed, {}, status);
    }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    int32_t status() const { return status_; }

    // The German description shown as the engine's status text.
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    IdentityError(Kind kind, std::string detail, int32_t status);

    Kind kind_;
    std::string detail_;
    int32_t status_;
    std::string text_;
};

// The sender's TLS identity for QUIC: a self-signed certificate with its key, kept across launches as
// "quic-identity.p12" beside its pass phrase in "quic-identity.pass" in the application folder, and the
// certificate's fingerprint that viewers pin. When no usable identity exists, one is made with the
// openssl tool, run as a child process.
//
// The store keeps no state beyond its two files. Its calls block (creating runs openssl twice) and may be
// made from any thread, one at a time per folder.
class QUICIdentityStore {
  public:
    struct Identity {
        std::shared_ptr<const TlsIdentity> identity;
        // Lower-case hex SHA-256 of the certificate's DER bytes; sent to viewers as "quicFingerprint".
        std::string fingerprint;
    };

    // Where the store finds its tools; tests substitute them.
    struct Tools {
        std::filesystem::path openssl = "/usr/bin/openssl";
        // Where the certificate is made, in a folder of its own; empty: the system's temporary folder.
        std::filesystem::path temporaryRoot;
    };

    static constexpr const char* containerFileName = "quic-identity.p12";
    static constexpr const char* passPhraseFileName = "quic-identity.pass";

    // The application folder: $XDG_DATA_HOME/Kelvora, or ~/.local/share/Kelvora.
    static std::filesystem::path defaultDirectory();

    explicit QUICIdentityStore(std::filesystem::path directory = defaultDirectory());
    QUICIdentityStore(std::filesystem::path directory, Tools tools);

    const std::filesystem::path& directory() const { return directory_; }

    // Reads both files and imports the container. The identity must be able to complete a TLS 1.3
    // handshake; one that cannot is an import failure. Throws IdentityError or the file error.
    Identity load() const;
    // Makes a new certificate and key and stores them with a new pass phrase; both files are private
    // (0600) from the moment they exist. Throws IdentityError or the file error.
    void create() const;
    // `load`, and when that fails, `create` followed by `load`.
    Identity loadOrCreate() const;

    // Runs the openssl tool with `arguments` and extra environment entries ("NAME=value"; secrets go
    // here, never into the arguments, which every user of the computer can read). Its error output is
    // read while it runs. Throws IdentityError::generationFailed when it cannot start or exits with a
    // failure.
    void runOpenSSL(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment = {}) const;

  private:
    std::filesystem::path directory_;
    Tools tools_;
};

}  // namespace kelvora
