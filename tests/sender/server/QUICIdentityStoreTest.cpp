#include "sender/server/QUICIdentityStore.h"

#include <gnutls/gnutls.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>

#include "core/Log.h"
#include "core/QUICConfiguration.h"
#include "support/LogCapture.h"
#include "support/TestIdentity.h"

using namespace kelvora;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string readText(const fs::path& path) {
    auto bytes = test::readBytes(path);
    return {bytes.begin(), bytes.end()};
}

// A stand-in for the openssl tool: a shell script with the given body.
fs::path fakeTool(const fs::path& folder, const std::string& body) {
    fs::path path = folder / "openssl";
    {
        std::ofstream script(path);
        script << "#!/bin/sh\n" << body << "\n";
    }
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

class QUICIdentityStoreTest : public ::testing::Test {
  protected:
    QUICIdentityStore store(QUICIdentityStore::Tools tools = {}) const {
        tools.temporaryRoot = scratch.path();
        return QUICIdentityStore(home.path() / "Kelvora", tools);
    }
    fs::path file(const char* name) const { return home.path() / "Kelvora" / name; }
    size_t scratchEntries() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()));
    }

    test::TemporaryFolder home;
    test::TemporaryFolder scratch;
    test::TemporaryFolder tools;
};

}  // namespace

TEST_F(QUICIdentityStoreTest, MakesAPrivateIdentityOnceAndReusesItOnTheNextLaunch) {
    test::LogCapture log(Log::network());
    // With no umask help at all, only files created private stay private.
    mode_t previous = ::umask(0);
    auto first = store().loadOrCreate();
    ::umask(previous);

    ASSERT_TRUE(first.identity);
    EXPECT_EQ(first.fingerprint, QUICConfiguration::fingerprint(first.identity->certificateDer()));
    EXPECT_EQ(modeOf(file(QUICIdentityStore::containerFileName)), 0600u);
    EXPECT_EQ(modeOf(file(QUICIdentityStore::passPhraseFileName)), 0600u);
    EXPECT_EQ(log.count("QUIC-Zertifikat erzeugt"), 1u);
    // The pass phrase is two upper-case UUIDs, nothing else.
    std::string passPhrase = readText(file(QUICIdentityStore::passPhraseFileName));
    EXPECT_EQ(passPhrase.size(), 72u);
    EXPECT_EQ(passPhrase.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
    // The folder the certificate was made in is gone, and no temporary file is left beside the identity.
    EXPECT_EQ(scratchEntries(), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(home.path() / "Kelvora"), fs::directory_iterator()), 2);

    auto container = test::readBytes(file(QUICIdentityStore::containerFileName));
    // The next launch loads what is there without running any program.
    auto second = store({"/nonexistent/openssl", {}}).loadOrCreate();
    EXPECT_EQ(second.fingerprint, first.fingerprint);
    EXPECT_EQ(test::readBytes(file(QUICIdentityStore::containerFileName)), container);
    EXPECT_EQ(log.count("QUIC-Zertifikat erzeugt"), 1u);
}

TEST_F(QUICIdentityStoreTest, AMissingPassFileIsAFileErrorAndLeadsToANewIdentity) {
    auto first = store().loadOrCreate();
    fs::remove(file(QUICIdentityStore::passPhraseFileName));
    try {
        store().load();
        FAIL() << "loaded without a pass file";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    auto replaced = store().loadOrCreate();
    EXPECT_NE(replaced.fingerprint, first.fingerprint);
    EXPECT_EQ(store().load().fingerprint, replaced.fingerprint);
}

TEST_F(QUICIdentityStoreTest, AWrongPassPhraseIsAnImportFailureWithTheLibrarysCode) {
    store().create();
    {
        std::ofstream pass(file(QUICIdentityStore::passPhraseFileName), std::ios::trunc);
        pass << "not the pass phrase";
    }
    try {
        store().load();
        FAIL() << "loaded with a wrong pass phrase";
    } catch (const IdentityError& error) {
        EXPECT_EQ(error.kind(), IdentityError::Kind::importFailed);
        EXPECT_EQ(error.status(), GNUTLS_E_MAC_VERIFY_FAILED);
        EXPECT_EQ(error.text(), "Zertifikat konnte nicht geladen werden (" +
                                    std::to_string(GNUTLS_E_MAC_VERIFY_FAILED) + ").");
    }
}

TEST_F(QUICIdentityStoreTest, AStoredIdentityThatCouldNotHandshakeIsNotLoaded) {
    fs::create_directories(home.path() / "Kelvora");
    auto params = (tools.path() / "dsa.pem").string();
    ASSERT_EQ(std::system(("/usr/bin/openssl dsaparam -out '" + params + "' 2048 >/dev/null 2>&1").c_str()),
              0);
    auto container = test::makePkcs12("dsa:'" + params + "'", "pw");
    std::ofstream(file(QUICIdentityStore::containerFileName), std::ios::binary)
        .write(reinterpret_cast<const char*>(container.data()),
               static_cast<std::streamsize>(container.size()));
    std::ofstream(file(QUICIdentityStore::passPhraseFileName)) << "pw";
    EXPECT_THROW(store().load(), IdentityError);
    // A usable one takes its place.
    EXPECT_TRUE(store().loadOrCreate().identity);
}

TEST_F(QUICIdentityStoreTest, TheToolsErrorOutputBecomesTheGenerationFailure) {
    auto failing =
        fakeTool(tools.path(), "printf ' \\n\\t unable to write key\\n\\n' >&2\nprintf '\\377' >&2\nexit 1");
    try {
        store({failing, {}}).create();
        FAIL() << "created with a failing tool";
    } catch (const IdentityError& error) {
        EXPECT_EQ(error.kind(), IdentityError::Kind::generationFailed);
        EXPECT_EQ(error.detail(), "unable to write key\n\n\xef\xbf\xbd");
        EXPECT_EQ(error.text(), "Zertifikat konnte nicht erzeugt werden: " + error.detail());
    }
    EXPECT_EQ(scratchEntries(), 0u);
    EXPECT_FALSE(fs::exists(file(QUICIdentityStore::containerFileName)));

    auto silent = fakeTool(tools.path(), "printf ' \\n \\t\\n' >&2\nexit 1");
    try {
        store({silent, {}}).create();
        FAIL() << "created with a failing tool";
    } catch (const IdentityError& error) {
        EXPECT_EQ(error.text(), "Zertifikat konnte nicht erzeugt werden: ");
    }
}

TEST_F(QUICIdentityStoreTest, AToolThatCannotStartIsAGenerationFailure) {
    try {
        store({tools.path() / "missing", {}}).create();
        FAIL() << "created without a tool";
    } catch (const IdentityError& error) {
        EXPECT_EQ(error.kind(), IdentityError::Kind::generationFailed);
        EXPECT_EQ(error.detail(), std::strerror(ENOENT));
    }
    try {
        store({tools.path() / "missing", {}}).loadOrCreate();
        FAIL() << "loaded or created without a tool";
    } catch (const IdentityError& error) {
        EXPECT_EQ(error.kind(), IdentityError::Kind::generationFailed);
    }
}

TEST_F(QUICIdentityStoreTest, AToolThatWritesMoreErrorOutputThanAPipeHoldsIsStillWaitedFor) {
    auto chatty = fakeTool(tools.path(), "head -c 1000000 /dev/zero | tr '\\0' 'x' >&2\nexit 2");
    auto outcome = std::async(std::launch::async, [&] {
        try {
            store({chatty, {}}).create();
            return std::string("no failure");
        } catch (const IdentityError& error) {
            return error.detail();
        }
    });
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(outcome.get(), std::string(1000000, 'x'));
}

TEST_F(QUICIdentityStoreTest, ThePassPhraseNeverAppearsOnTheToolsCommandLine) {
    auto arguments = tools.path() / "arguments";
    auto recording =
        fakeTool(tools.path(), "echo \"$@\" >> '" + arguments.string() + "'\nexec /usr/bin/openssl \"$@\"");
    auto identity = store({recording, {}}).loadOrCreate();
    ASSERT_TRUE(identity.identity);
    std::string passPhrase = readText(file(QUICIdentityStore::passPhraseFileName));
    std::string commandLines = readText(arguments);
    EXPECT_NE(commandLines.find("pkcs12 -export"), std::string::npos);
    EXPECT_EQ(commandLines.find(passPhrase.substr(0, 36)), std::string::npos);
    EXPECT_EQ(commandLines.find(passPhrase.substr(36)), std::string::npos);
}

TEST(QUICIdentityStoreDirectory, FollowsXdgDataHome) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    std::string previous = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(QUICIdentityStore::defaultDirectory(), fs::path("/data/home/Kelvora"));
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(QUICIdentityStore::defaultDirectory().filename(), "Kelvora");
    EXPECT_EQ(QUICIdentityStore::defaultDirectory().parent_path().filename(), "share");
    if (saved) {
        ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
    }
}
