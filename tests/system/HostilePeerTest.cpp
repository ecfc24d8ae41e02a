// The headless sender as a separate process on the test picture, one well-behaved viewer watching, and
// everything a hostile peer on the same network can throw at it at once: connections that never say hello
// and sit on maximal headers, a hello flooded with keys, messages far above what a viewer may send, a burst
// of tiny messages on a QUIC stream, and names full of control characters or invalid UTF-8. The sender must
// stay up, its memory must stay bounded, and the viewer must keep its picture.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "core/ByteWriter.h"
#include "core/ControlMessage.h"
#include "core/LoopbackPeer.h"
#include "core/QUICConfiguration.h"
#include "platform/QuicEndpoint.h"
#include "platform/SerialQueue.h"
#include "system/RawFrames.h"

extern char** environ;

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto baselineWindow = 5s;
constexpr auto attackWindow = 10s;
constexpr long memoryGrowthLimit = 64L * 1024 * 1024;
#if defined(__SANITIZE_ADDRESS__)
// An unoptimised, instrumented sender reads the QUIC burst about a hundred times slower, and that time comes
// out of the same queue that sends the pictures: here the watcher need only keep its picture.
constexpr double keptFrameShare = 0.5;
#else
constexpr double keptFrameShare = 0.9;
#endif

uint32_t loopback(uint32_t a, uint32_t b, uint32_t c) {
    return (127u << 24) | (a << 16) | (b << 8) | c;
}

// The sender program with settings of its own, in a home of its own.
class SenderProcess {
  public:
    explicit SenderProcess(const std::string& settings) {
        home_ = fs::temp_directory_path() / ("kelvora-hostile-" + std::to_string(::getpid()));
        fs::remove_all(home_);
        fs::create_directories(home_);
        std::ofstream(home_ / "settings.json") << settings;
        logPath_ = home_ / "sender.log";

        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string text = *entry;
            if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
                // Freed memory waits in the sanitizer's quarantine, by default far more than the growth we
                // allow; keep it small so that resident size still tells what the sender holds.
                text += ":quarantine_size_mb=8";
            }
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_DATA_HOME=", 0) != 0 &&
                text.rfind("XDG_CONFIG_HOME=", 0) != 0) {
                environment.push_back(text);
            }
        }
        environment.push_back("HOME=" + home_.string());
        environment.push_back("XDG_DATA_HOME=" + (home_ / "data").string());
        environment.push_back("XDG_CONFIG_HOME=" + (home_ / "config").string());
        std::vector<char*> envp;
        for (auto& text : environment) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);

        const std::string program = KELVORA_SENDER_PROGRAM;
        const std::string settingsPath = (home_ / "settings.json").string();
        std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--settings"),
                                const_cast<char*>(settingsPath.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            throw std::runtime_error("cannot start " + program);
        }
    }

    ~SenderProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    // The control port, once the sender says it is ready.
    uint16_t waitForPort() {
        const std::regex ready("Sender bereit auf Port (\\d+)");
        for (int attempt = 0; attempt < 600 && alive(); ++attempt) {
            std::smatch match;
            const std::string text = log();
            if (std::regex_search(text, match, ready)) {
                return static_cast<uint16_t>(std::stoi(match[1]));
            }
            std::this_thread::sleep_for(50ms);
        }
        return 0;
    }

    std::string log() const {
        std::ifstream file(logPath_);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }

    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

    long residentBytes() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6)) * 1024;
            }
        }
        return 0;
    }

    // SIGTERM, then the exit status (-1 when it had to be killed).
    int stop() {
        ::kill(pid_, SIGTERM);
        for (int attempt = 0; attempt < 200; ++attempt) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

  private:
    fs::path home_;
    fs::path logPath_;
    pid_t pid_ = -1;
};

HelloMessage hello(std::string clientID, int64_t version = 2, EngineKind engine = EngineKind::tcp()) {
    return HelloMessage{clientID,          "Zuschauer " + clientID, version,
                        std::move(engine), {VideoCodec::h264},      "Testgerät",
                        std::nullopt};
}

std::string keyFloodHello(std::size_t keys) {
    std::string text = R"({"clientID":"flood","clientName":"Flut","protocolVersion":4,"engine":"tcp",)"
                       R"("supportedCodecs":[1],"deviceModel":"x")";
    for (std::size_t i = 0; i < keys; ++i) {
        text += ",\"k" + std::to_string(i) + "\":0";
    }
    return text + "}";
}

// Best effort: an attacker does not care whether its bytes arrive.
void sendQuietly(int fd, ByteView bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::optional<RawPeer> tryConnect(uint16_t port, uint32_t source) {
    try {
        return RawPeer::connectTo(port, source);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Watches like a real viewer: hello, then every frame, with a time-sync request every second so that it
// never counts as silent.
class Watcher {
  public:
    explicit Watcher(uint16_t port) : peer_(RawPeer::connectTo(port)) {
        peer_.sendMessage(hello("watcher"));
        thread_ = std::thread([this] { run(); });
    }
    ~Watcher() {
        stopping_ = true;
        ::shutdown(peer_.fd(), SHUT_RDWR);
        thread_.join();
    }
    int frames() const { return frames_; }
    bool welcomed() const { return welcomed_; }

  private:
    void run() {
        auto lastSync = std::chrono::steady_clock::now();
        while (!stopping_) {
            auto message = peer_.readMessage(nullptr, 5s);
            if (!message) {
                return;
            }
            if (message->is<WelcomeMessage>()) {
                welcomed_ = true;
            } else if (message->is<EncodedVideoFrame>()) {
                ++frames_;
            }
            if (std::chrono::steady_clock::now() - lastSync > 1s) {
                lastSync = std::chrono::steady_clock::now();
                try {
                    peer_.sendMessage(TimeSyncRequest{{1, 0, 0}});
                } catch (const std::exception&) {
                    return;
                }
            }
        }
    }

    RawPeer peer_;
    std::atomic<bool> stopping_ = false;
    std::atomic<bool> welcomed_ = false;
    std::atomic<int> frames_ = 0;
    std::thread thread_;
};

// Every attack at once, each in a loop bounded in count and by the window's end.
class Attack {
  public:
    Attack(uint16_t port, std::chrono::steady_clock::time_point until) : port_(port), until_(until) {
        threads_.emplace_back([this] { holdConnectionsWithoutHello(); });
        threads_.emplace_back([this] { floodHellos(); });
        threads_.emplace_back([this] { sendOversizedMessages(); });
        threads_.emplace_back([this] { burstOnQuic(); });
        threads_.emplace_back([this] { sendHostileNames(); });
    }
    ~Attack() {
        for (auto& thread : threads_) {
            thread.join();
        }
    }
    int quicBursts() const { return quicBursts_; }

  private:
    bool running() const { return std::chrono::steady_clock::now() < until_; }

    // Hundreds of connections from many addresses, each on a header announcing the protocol's largest
    // message; refused ones are tried again.
    void holdConnectionsWithoutHello() {
        const Bytes maximal = header(0x01, ControlMessage::maximumPayloadLength);
        const Bytes garbage(1000, '{');
        std::vector<RawPeer> held;
        for (int attempt = 0; attempt < 3000 && running(); ++attempt) {
            const uint32_t source = loopback(1, static_cast<uint32_t>(attempt % 40), 1);
            if (auto peer = tryConnect(port_, source)) {
                sendQuietly(peer->fd(), maximal);
                sendQuietly(peer->fd(), garbage);
                held.push_back(std::move(*peer));
            }
            if (held.size() > 400) {
                held.clear();
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    // A hello of almost a megabyte made of unknown keys, and one just under what a viewer may send.
    void floodHellos() {
        const Bytes huge = rawMessage(0x01, keyFloodHello(80000));
        const std::string small = keyFloodHello(5000);
        for (int round = 0; round < 30 && running(); ++round) {
            if (auto peer = tryConnect(port_, loopback(2, 0, 1 + round % 4))) {
                sendQuietly(peer->fd(), huge);
            }
            if (auto peer = tryConnect(port_, loopback(2, 1, 1 + round % 4))) {
                sendQuietly(peer->fd(), rawMessage(0x01, small));
                std::this_thread::sleep_for(50ms);
            }
            std::this_thread::sleep_for(100ms);
        }
    }

    // Proper viewers that then announce a report of 16 MiB and send a megabyte of it.
    void sendOversizedMessages() {
        const Bytes body(1024 * 1024, ' ');
        for (int round = 0; round < 20 && running(); ++round) {
            if (auto peer = tryConnect(port_, loopback(3, 0, 1 + round % 4))) {
                sendQuietly(peer->fd(), ControlMessage(hello("gross-" + std::to_string(round))).encoded());
                sendQuietly(peer->fd(), header(0x21, 16 * 1024 * 1024));
                sendQuietly(peer->fd(), body);
            }
            std::this_thread::sleep_for(200ms);
        }
    }

    // A QUIC connection to the sender's media port whose first stream carries 200,000 tiny messages in one
    // burst.
    void burstOnQuic() {
        auto queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("hostile.quic"));
        for (int round = 0; round < 3 && running(); ++round) {
            auto peer = tryConnect(port_, loopback(4, 0, 1));
            if (!peer) {
                continue;
            }
            peer->sendMessage(hello("quic-" + std::to_string(round), 4, EngineKind::quic()));
            std::optional<WelcomeMessage> welcome;
            while (auto message = peer->readMessage(nullptr, 5s)) {
                if (const auto* found = message->get<WelcomeMessage>()) {
                    welcome = *found;
                    break;
                }
            }
            if (!welcome || !welcome->engineParameters.contains("quicPort")) {
                continue;
            }
            const auto quicPort = static_cast<uint16_t>(std::stoi(welcome->engineParameters.at("quicPort")));
            const std::string fingerprint = welcome->engineParameters.at("quicFingerprint");
            Bytes burst;
            burst.reserve(200000 * ControlMessage::headerLength);
            for (int i = 0; i < 200000; ++i) {
                const Bytes empty = header(0x0F, 0);
                burst.insert(burst.end(), empty.begin(), empty.end());
            }
            std::shared_ptr<QuicConnection> connection;
            std::shared_ptr<QuicStream> stream;
            queue->sync([&] {
                connection = QuicConnection::connect(
                    queue->context(), asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), quicPort),
                    QUICConfiguration::clientParameters(fingerprint));
                connection->setHandlers({[&] {
                                             stream = connection->openStream();
                                             if (stream) {
                                                 stream->send(std::move(burst), false);
                                                 ++quicBursts_;
                                             }
                                         },
                                         nullptr, nullptr});
            });
            std::this_thread::sleep_for(2s);
            queue->sync([&] {
                connection->setHandlers({});
                connection->close();
                stream.reset();
                connection.reset();
            });
        }
    }

    // Names with line breaks, escapes and a right-to-left override, and a hello whose name is not UTF-8.
    void sendHostileNames() {
        for (int round = 0; round < 20 && running(); ++round) {
            if (auto peer = tryConnect(port_, loopback(5, 0, 1))) {
                HelloMessage forged = hello("name-" + std::to_string(round));
                forged.clientName =
                    "Anna\n[error] Sender abgestürzt\r\x1b[2J\u202Egnuhcsaw" + std::string(5000, 'x');
                forged.deviceModel = std::string("\x07\x08\x00", 3) + "Gerät";
                sendQuietly(peer->fd(), ControlMessage(forged).encoded());
                std::this_thread::sleep_for(50ms);
            }
            if (auto peer = tryConnect(port_, loopback(5, 0, 2))) {
                sendQuietly(
                    peer->fd(),
                    rawMessage(0x01,
                               "{\"clientID\":\"latin\",\"clientName\":\"M\xFCller\",\"protocolVersion\":2,"
                               "\"engine\":\"tcp\",\"supportedCodecs\":[1],\"deviceModel\":\"\xE9\"}"));
            }
            std::this_thread::sleep_for(200ms);
        }
    }

    uint16_t port_;
    std::chrono::steady_clock::time_point until_;
    std::atomic<int> quicBursts_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace

TEST(HostilePeers, TheSenderStaysUpBoundedAndKeepsItsViewerWatching) {
    SenderProcess sender(R"({"senderName":"Feindtest","useTestPattern":true,"controlPort":0,)"
                         R"("autoResolution":false,"resolution":{"width":1280,"height":720},"frameRate":30,)"
                         R"("proxyStream":false,"adaptiveBitrate":false,"enabledEngines":["tcp","quic"]})");
    const uint16_t port = sender.waitForPort();
    ASSERT_NE(port, 0) << sender.log();

    Watcher watcher(port);
    // Pictures flow before anything is measured.
    for (int attempt = 0; attempt < 200 && watcher.frames() < 30; ++attempt) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_GE(watcher.frames(), 30) << sender.log();

    const int beforeBaseline = watcher.frames();
    std::this_thread::sleep_for(baselineWindow);
    const double baselineRate =
        (watcher.frames() - beforeBaseline) / std::chrono::duration<double>(baselineWindow).count();
    const long baselineMemory = sender.residentBytes();

    long peakMemory = baselineMemory;
    const int beforeAttack = watcher.frames();
    const auto start = std::chrono::steady_clock::now();
    int quicBursts = 0;
    {
        Attack attack(port, start + attackWindow);
        while (std::chrono::steady_clock::now() < start + attackWindow) {
            peakMemory = std::max(peakMemory, sender.residentBytes());
            std::this_thread::sleep_for(100ms);
        }
        quicBursts = attack.quicBursts();
    }
    const double attackSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double attackRate = (watcher.frames() - beforeAttack) / attackSeconds;
    peakMemory = std::max(peakMemory, sender.residentBytes());

    std::printf("frames/s without attack %.1f, under attack %.1f; resident size %ld -> peak %ld bytes\n",
                baselineRate, attackRate, baselineMemory, peakMemory);
    ASSERT_TRUE(sender.alive()) << sender.log();
    EXPECT_GT(quicBursts, 0) << "the QUIC burst never reached a stream";
    EXPECT_LT(peakMemory - baselineMemory, memoryGrowthLimit)
        << "resident size grew from " << baselineMemory << " to " << peakMemory << " bytes";
    EXPECT_GE(attackRate, keptFrameShare * baselineRate)
        << "frames/s without attack " << baselineRate << ", under attack " << attackRate;

    // Still open for new viewers once it is over, and it stops cleanly.
    RawPeer later = RawPeer::connectTo(port);
    later.sendMessage(hello("later"));
    auto answer = later.readMessage(nullptr, 10s);
    EXPECT_TRUE(answer && answer->is<WelcomeMessage>());

    const std::string log = sender.log();
    EXPECT_EQ(log.find("\n[error] Sender abgestürzt"), std::string::npos) << "a forged log line got through";
    EXPECT_EQ(sender.stop(), 0) << log;
}
