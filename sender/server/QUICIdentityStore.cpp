#include "sender/server/QUICIdentityStore.h"

#include "platform/ApplicationFolder.h"
#include "platform/Utf8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/Log.h"
#include "core/QUICConfiguration.h"
#include "platform/Uuid.h"

extern char** environ;

namespace kelvora {
namespace {

// openssl reads the export pass phrase from here (`-passout env:`), so it never appears in an argument list.
constexpr const char* kPassPhraseVariable = "KELVORA_IDENTITY_PASS";

std::system_error fileError(const std::filesystem::path& path) {
    return std::system_error(errno, std::generic_category(), path.string());
}

std::string readFile(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw fileError(path);
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            auto error = fileError(path);
            ::close(fd);
            throw error;
        }
        if (count == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    return content;
}

// Replaces `path` in one step with a file that is private from the moment it exists: it is created with
// mode 0600 under a temporary name beside the target, written, flushed and renamed over the target.
void writePrivateFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + newUuid();
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw fileError(temporary);
    }
    size_t written = 0;
    while (written < content.size()) {
        ssize_t count = ::write(fd, content.data() + written, content.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            auto error = fileError(temporary);
            ::close(fd);
            ::unlink(temporary.c_str());
            throw error;
        }
        written += static_cast<size_t>(count);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        auto error = fileError(path);
        ::unlink(temporary.c_str());
        throw error;
    }
}

std::string trimmed(const std::string& text) {
    constexpr const char* kSpace = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

// Removes the folder the certificate was made in, whatever happens.
class ScratchFolder {
  public:
    explicit ScratchFolder(std::filesystem::path path) : path_(std::move(path)) {
        if (::mkdir(path_.c_str(), 0700) != 0) {
            throw fileError(path_);
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace

IdentityError::IdentityError(Kind kind, std::string detail, int32_t status)
    : kind_(kind), detail_(std::move(detail)), status_(status) {
    text_ = kind_ == Kind::generationFailed
                ? "Zertifikat konnte nicht erzeugt werden: " + detail_
                : "Zertifikat konnte nicht geladen werden (" + std::to_string(status_) + ").";
}

std::filesystem::path QUICIdentityStore::defaultDirectory() {
    return applicationFolder();
}

QUICIdentityStore::QUICIdentityStore(std::filesystem::path directory)
    : QUICIdentityStore(std::move(directory), Tools{}) {}

QUICIdentityStore::QUICIdentityStore(std::filesystem::path directory, Tools tools)
    : directory_(std::move(directory)), tools_(std::move(tools)) {}

QUICIdentityStore::Identity QUICIdentityStore::load() const {
    std::string container = readFile(directory_ / containerFileName);
    std::string passPhrase = readFile(directory_ / passPhraseFileName);
    try {
        auto identity = TlsIdentity::fromPkcs12(
            {reinterpret_cast<const uint8_t*>(container.data()), container.size()}, passPhrase);
        return {identity, QUICConfiguration::fingerprint(identity->certificateDer())};
    } catch (const TlsError& error) {
        throw IdentityError::importFailed(error.code());
    }
}

void QUICIdentityStore::create() const {
    std::filesystem::create_directories(directory_);
    std::filesystem::path root =
        tools_.temporaryRoot.empty() ? std::filesystem::temp_directory_path() : tools_.temporaryRoot;
    ScratchFolder scratch(root / ("kelvora-" + newUuid()));
    std::string key = (scratch.path() / "key.pem").string();
    std::string certificate = (scratch.path() / "cert.pem").string();
    std::string container = (scratch.path() / containerFileName).string();
    std::string passPhrase = newUuid() + newUuid();

    runOpenSSL({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate, "-days",
                "3650", "-subj", "/CN=Kelvora Sender"});
    runOpenSSL({"pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", container, "-passout",
                std::string("env:") + kPassPhraseVariable},
               {std::string(kPassPhraseVariable) + "=" + passPhrase});
    writePrivateFile(directory_ / containerFileName, readFile(container));
    writePrivateFile(directory_ / passPhraseFileName, passPhrase);
    Log::network().info("QUIC-Zertifikat erzeugt");
}

QUICIdentityStore::Identity QUICIdentityStore::loadOrCreate() const {
    try {
        return load();
    } catch (const std::exception& error) {
        Log::network().debug("QUIC-Zertifikat nicht ladbar ({}), erzeuge ein neues", error.what());
    }
    create();
    return load();
}

void QUICIdentityStore::runOpenSSL(const std::vector<std::string>& arguments,
                                   const std::vector<std::string>& environment) const {
    // Everything the child needs is prepared before fork: between fork and exec only async-signal-safe
    // calls are allowed.
    std::string program = tools_.openssl.string();
    std::vector<std::string> argumentStrings{program};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentStrings;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        environmentStrings.emplace_back(*entry);
    }
    environmentStrings.insert(environmentStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& entry : environmentStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    int errorPipe[2];
    int startPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw IdentityError::generationFailed(std::strerror(errno));
    }
    if (::pipe2(startPipe, O_CLOEXEC) != 0) {
        int code = errno;
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        throw IdentityError::generationFailed(std::strerror(code));
    }
    int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t child = ::fork();
    if (child == 0) {
        // Whatever the tool writes (key, certificate, container) is private from its first byte.
        ::umask(077);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(errorPipe[1], STDERR_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        int code = errno;
        (void)!::write(startPipe[1], &code, sizeof code);
        ::_exit(127);
    }
    int forkError = errno;
    ::close(errorPipe[1]);
    ::close(startPipe[1]);
    if (devNull >= 0) {
        ::close(devNull);
    }
    if (child < 0) {
        ::close(errorPipe[0]);
        ::close(startPipe[0]);
        throw IdentityError::generationFailed(std::strerror(forkError));
    }

    // Read the error output while the tool runs: one that writes more than a pipe holds would otherwise
    // wait for us forever.
    std::string errorOutput;
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(errorPipe[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        errorOutput.append(buffer, static_cast<size_t>(count));
    }
    ::close(errorPipe[0]);
    int startError = 0;
    ssize_t startBytes;
    do {
        startBytes = ::read(startPipe[0], &startError, sizeof startError);
    } while (startBytes < 0 && errno == EINTR);
    ::close(startPipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (startBytes == static_cast<ssize_t>(sizeof startError)) {
        throw IdentityError::generationFailed(std::strerror(startError));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw IdentityError::generationFailed(trimmed(validUtf8(errorOutput)));
    }
}

}  // namespace kelvora
