// What the command-line programs say to a person at the terminal: which stream, which exit status, which
// words. Each runs in a home of its own and without a display; none of them gets as far as opening a window
// or a port.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "system/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Finished {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Runs the program to its end (killed after 30 s) with standard output and standard error apart.
Finished run(std::vector<std::string> argv) {
    static int counter = 0;
    const fs::path home = fs::temp_directory_path() /
                          ("command-line-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    Finished result;
    {
        kelvora::testing::ChildProcess program(home, home / "out", std::move(argv), {},
                                               kelvora::testing::ChildProcess::LogMode::truncate,
                                               home / "err");
        const auto status = program.wait(30s);
        if (status && WIFEXITED(*status)) {
            result.exitCode = WEXITSTATUS(*status);
        }
    }
    result.out = readFile(home / "out");
    result.err = readFile(home / "err");
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return result;
}

enum class Stream { out, err };

struct Case {
    std::vector<std::string> argv;
    int exitCode;
    // Where the texts are; with `otherIsEmpty`, nothing at all is on the other stream.
    Stream stream;
    std::vector<std::string> texts;
    bool otherIsEmpty;
};

TEST(CommandLine, EachProgramAnswersOnTheRightStreamWithTheRightStatusAndWords) {
    // A port that is bound but not listening refuses every connection, and no other program can take it.
    const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string refusingAddress = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const Case cases[] = {
        // Asked for, help is no error; it names the keys of the settings file by their stored names.
        {{KELVORA_SENDER_PROGRAM, "--help"},
         0,
         Stream::out,
         {"--settings FILE", "\"useTestPattern\"", "\"videoFilePath\"", "\"resolution\"", "\"frameRate\"",
          "\"senderName\"", "\"controlPort\"", "README.md"},
         true},
        {{KELVORA_SENDER_PROGRAM, "--bogus"}, 2, Stream::err, {"--bogus", "usage: kelvora-sender"}, true},
        {{TILVARA_VIEWER_PROGRAM, "--connect"}, 2, Stream::err, {"„--connect“ braucht eine Adresse"}, true},
        // The viewer's words for why a session ended, not the system's.
        {{KELVORA_RECEIVER_PROGRAM, refusingAddress},
         1,
         Stream::out,
         {"Sitzung beendet: Unter dieser Adresse nimmt kein Sender Verbindungen an."},
         false},
        // The name asked for, cleaned as every name a viewer shows.
        {{KELVORA_RECEIVER_PROGRAM, "--browse-seconds", "0.5", "--name", "Bühne\tlinks"},
         1,
         Stream::err,
         {"Kein Sender „Bühne links“ gefunden."},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        const Finished result = run(c.argv);
        EXPECT_EQ(result.exitCode, c.exitCode);
        const std::string& stream = c.stream == Stream::out ? result.out : result.err;
        const std::string& other = c.stream == Stream::out ? result.err : result.out;
        for (const std::string& text : c.texts) {
            EXPECT_NE(stream.find(text), std::string::npos) << text << " not in:\n" << stream;
        }
        if (c.otherIsEmpty) {
            EXPECT_EQ(other, "");
        }
    }
    ::close(refusing);
}

}  // namespace
