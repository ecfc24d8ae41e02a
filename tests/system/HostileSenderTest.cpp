// A fake sender, reached by typed address, attacks the headless receiver and the viewer program (on a virtual
// display) one way after another: hostile welcomes, floods of unreadable messages, frames that claim a huge
// picture or come in floods, time sync that swings the clock offset to the far past, reconnects, silence, and
// headers that announce the largest message there is. Each must stay up, within 300 MB of its resident size,
// with no raw control character in any log line or in what it stores, and with at most 1 MB of log per
// second of a flood; afterwards the viewer plays a real sender through the same address, with the latency it
// shows agreeing with the time code of its pictures.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "core/ByteWriter.h"
#include "core/ControlMessage.h"
#include "core/QUICConfiguration.h"
#include "platform/QuicEndpoint.h"
#include "platform/TlsIdentity.h"
#include "support/IoThread.h"
#include "support/TestIdentity.h"
#include "system/ChildProcess.h"
#include "system/RawFrames.h"

using namespace kelvora;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using kelvora::testing::ChildProcess;
using kelvora::testing::header;
using kelvora::testing::onPath;
using kelvora::testing::rawMessage;

namespace {

constexpr long memoryGrowthLimit = 300L * 1024 * 1024;
constexpr double floodLogBytesPerSecond = 1024 * 1024;
constexpr auto attackWindow = 6s;
// How much later than the overlay's hand-over the time code of a shown picture may say it reached the screen.
// Wider than in the viewer's own end-to-end test: after a minute of attacks on a loaded machine the software
// renderer's way to the screen takes longer, and what matters here is that the overlay's figure is still the
// pictures' own after the clock was swung far off, not off by seconds or below zero.
#if defined(__SANITIZE_ADDRESS__)
constexpr double screenDelayLimitMs = 250;
#else
constexpr double screenDelayLimitMs = 100;
#endif

// What the programs are started with besides `extra`. An instrumented program keeps freed memory in
// AddressSanitizer's quarantine, by default 256 MB, before it is reused or given back; kept small here, so
// that the resident size still tells what the program holds and the same bound applies to both builds.
std::vector<std::string> environment(std::vector<std::string> extra = {}) {
#if defined(__SANITIZE_ADDRESS__)
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string options = inherited && *inherited ? std::string(inherited) + ":" : std::string();
    extra.push_back("ASAN_OPTIONS=" + options + "quarantine_size_mb=8");
#endif
    return extra;
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

long fileSize(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<long>(size);
}

// The first line holding a raw control character, a line or paragraph separator or a bidirectional
// control; none when every line is clean.
std::optional<std::string> dirtyLine(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        bool dirty = false;
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            dirty = dirty || byte < 0x20 || byte == 0x7F;
        }
        for (const std::string_view bad :
             {"\xC2\x80", "\xC2\x85", "\xC2\x9B", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAA",
              "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA7",
              "\xE2\x81\xA8", "\xE2\x81\xA9", "\xE2\x80\x8E", "\xE2\x80\x8F"}) {
            dirty = dirty || line.find(bad) != std::string::npos;
        }
        if (dirty) {
            return line.substr(0, 200);
        }
    }
    return std::nullopt;
}

// Writes H.264 parameter sets bit by bit.
class BitWriter {
  public:
    void bit(bool value) {
        if (used_ == 0) {
            bytes_.push_back(0);
        }
        if (value) {
            bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
        }
        used_ = (used_ + 1) % 8;
    }
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bit((value >> i) & 1);
        }
    }
    void ue(uint32_t value) {
        const uint32_t coded = value + 1;
        int length = 0;
        while ((coded >> length) > 1) {
            ++length;
        }
        bits(0, length);
        bits(coded, length + 1);
    }
    Bytes finish() {
        bit(true);
        while (used_ != 0) {
            bit(false);
        }
        return bytes_;
    }

  private:
    Bytes bytes_;
    int used_ = 0;
};

// A baseline SPS and PPS for a picture of width × height (multiples of 16).
std::vector<Bytes> parameterSets(uint32_t width, uint32_t height) {
    BitWriter sps;
    sps.bits(0x67, 8);
    sps.bits(66, 8);  // baseline
    sps.bits(0, 8);
    sps.bits(51, 8);  // level 5.1
    sps.ue(0);        // id
    sps.ue(0);        // log2 max frame num - 4
    sps.ue(2);        // picture order count type
    sps.ue(1);        // reference frames
    sps.bit(false);
    sps.ue(width / 16 - 1);
    sps.ue(height / 16 - 1);
    sps.bit(true);  // frame macroblocks only
    sps.bit(true);
    sps.bit(false);  // no cropping
    sps.bit(false);  // no VUI
    BitWriter pps;
    pps.bits(0x68, 8);
    pps.ue(0);
    pps.ue(0);
    pps.bits(0, 2);
    pps.ue(0);
    pps.ue(0);
    pps.ue(0);
    pps.bits(0, 3);
    pps.ue(0);  // se(0) codes like ue(0)
    pps.ue(0);
    pps.ue(0);
    pps.bit(true);
    pps.bits(0, 2);
    return {sps.finish(), pps.finish()};
}

EncodedVideoFrame frame(uint64_t number, bool keyframe, std::vector<Bytes> sets, Bytes payload,
                        VideoDimensions dimensions) {
    return EncodedVideoFrame::make(
        VideoCodec::h264, keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{}, 0,
        number, std::nullopt, 1, 1, dimensions, 1000, std::move(sets), std::move(payload));
}

const std::string hostileName = std::string("Regie\r\n[error] Sender abgestürzt\x1b[2J") +
                                std::string("\0", 1) + "\u202Egnuhcsaw\u2028\xC2\x85";

WelcomeMessage welcome(const std::string& name, const std::string& id, const std::string& source) {
    WelcomeMessage message;
    message.senderName = name;
    message.protocolVersion = 4;
    message.sessionToken = "token";
    message.engine = EngineKind::tcp();
    message.stream =
        StreamInfoMessage{StreamInfoMessage::State::live, source, VideoCodec::h264, {1280, 720}, 30, true};
    message.senderID = id;
    message.supportsTuning = true;
    return message;
}

enum class Attack {
    calm,
    welcome,
    floods,
    frames,
    quic,
    timeSync,
    reconnects,
    silence,
    preallocation,
    proxy
};

const char* nameOf(Attack attack) {
    switch (attack) {
        case Attack::calm:
            return "calm";
        case Attack::welcome:
            return "welcome";
        case Attack::floods:
            return "floods";
        case Attack::frames:
            return "frames";
        case Attack::quic:
            return "QUIC streams";
        case Attack::timeSync:
            return "time sync";
        case Attack::reconnects:
            return "reconnects";
        case Attack::silence:
            return "silence";
        case Attack::preallocation:
            return "pre-allocation";
        case Attack::proxy:
            return "real sender";
    }
    return "";
}

// The fake sender: every connection gets the attack of the moment and is dropped when the attack changes,
// so that the viewers come back into the next one. In the last phase it passes connections on to a real
// sender.
class FakeSender {
  public:
    explicit FakeSender(uint16_t realSenderPort) : realPort_(realSenderPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("fake sender cannot listen");
        }
        port_ = ntohs(address.sin_port);
        const auto identity =
            TlsIdentity::fromPkcs12(test::makePkcs12("ec -pkeyopt ec_paramgen_curve:prime256v1", "pw"), "pw");
        fingerprint_ = QUICConfiguration::fingerprint(identity->certificateDer());
        quic_ = io_.call([&] {
            auto listener = QuicListener::listen(io_.context(), QUICConfiguration::serverParameters(identity),
                                                 asio::ip::address_v4::loopback());
            listener->setConnectionHandler(
                [this](std::shared_ptr<QuicConnection> connection) { floodStreams(std::move(connection)); });
            return listener;
        });
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~FakeSender() {
        stopping_ = true;
        endQuic();
        io_.call([&] {
            quic_->stop();
            quic_.reset();
        });
        acceptor_.join();
        ::close(listener_);
        std::lock_guard lock(mutex_);
        for (auto& thread : connections_) {
            thread.join();
        }
    }

    uint16_t port() const { return port_; }

    void setAttack(Attack attack) {
        attack_ = attack;
        ++generation_;
        endQuic();
    }

  private:
    // Every viewer that comes over QUIC gets streams that each announce the largest frame there is and
    // carry megabytes of it without ever ending.
    void floodStreams(std::shared_ptr<QuicConnection> connection) {
        connection->setHandlers(
            {{}, [this](std::shared_ptr<QuicStream> stream) { quicStreams_.push_back(stream); }, {}});
        for (int i = 0; i < 24; ++i) {
            auto stream = connection->openStream();
            if (!stream) {
                break;
            }
            Bytes data = header(0x10, ControlMessage::maximumPayloadLength);
            data.resize(4 << 20, 0x5A);
            stream->send(std::move(data), false);
            quicStreams_.push_back(std::move(stream));
        }
        quicConnections_.push_back(std::move(connection));
    }

    void endQuic() {
        io_.call([&] {
            for (auto& connection : quicConnections_) {
                connection->setHandlers({});
                connection->close();
            }
            quicConnections_.clear();
            quicStreams_.clear();
        });
    }

    bool current(int generation) const { return !stopping_ && generation_ == generation; }

    void acceptLoop() {
        while (!stopping_) {
            pollfd poller{listener_, POLLIN, 0};
            if (::poll(&poller, 1, 100) <= 0) {
                continue;
            }
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            std::lock_guard lock(mutex_);
            connections_.emplace_back([this, fd] {
                serve(fd, attack_, generation_);
                ::close(fd);
            });
        }
    }

    // Best effort: an attacker does not care whether its bytes arrive. Gives up when the attack is over.
    bool sendAll(int fd, ByteView bytes, int generation) {
        size_t sent = 0;
        while (sent < bytes.size() && current(generation)) {
            pollfd poller{fd, POLLOUT, 0};
            if (::poll(&poller, 1, 50) <= 0) {
                continue;
            }
            const auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0 && errno != EAGAIN) {
                return false;
            }
            sent += n > 0 ? static_cast<size_t>(n) : 0;
        }
        return sent == bytes.size();
    }
    bool send(int fd, const ControlMessage& message, int generation) {
        return sendAll(fd, message.encoded(), generation);
    }

    // Whatever the viewer has sent, read without waiting longer than `wait`; false once it has closed.
    bool receive(int fd, Bytes& into, std::chrono::milliseconds wait) {
        pollfd poller{fd, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(wait.count())) <= 0) {
            return true;
        }
        uint8_t buffer[65536];
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        into.insert(into.end(), buffer, buffer + n);
        return true;
    }

    // Reads and drops what the viewer says until the attack is over or the viewer has gone.
    void drain(int fd, int generation) {
        Bytes ignored;
        while (current(generation) && receive(fd, ignored, 50ms)) {
            ignored.clear();
        }
    }

    void serve(int fd, Attack attack, int generation) {
        Bytes hello;
        const auto helloDeadline = std::chrono::steady_clock::now() + 3s;
        while (hello.size() < ControlMessage::headerLength &&
               std::chrono::steady_clock::now() < helloDeadline) {
            if (!receive(fd, hello, 50ms)) {
                return;
            }
        }
        const WelcomeMessage plain = welcome("Feind", "0F8FAD5B-D9CB-469F-A165-70867728950E", "Testbild");
        std::mt19937 random(static_cast<unsigned>(fd));
        switch (attack) {
            case Attack::calm:
                send(fd, plain, generation);
                drain(fd, generation);
                break;
            case Attack::welcome: {
                // Every other connection names itself with megabytes; the rest with every kind of control
                // character in as much text as a record may hold.
                if (++welcomeCount_ % 2 == 0) {
                    const std::string huge(4 << 20, 'N');
                    sendAll(fd,
                            rawMessage(0x02, R"({"senderName":")" + huge + R"(","senderID":")" + huge +
                                                 R"(","protocolVersion":4,"sessionToken":"t","engine":"tcp",)"
                                                 R"("engineParameters":{},"stream":{"state":"live",)"
                                                 R"("sourceName":")" +
                                                 huge +
                                                 R"(","codec":1,"dimensions":{"width":1280,"height":720},)"
                                                 R"("frameRate":30,"isTestPattern":true}})"),
                            generation);
                } else {
                    std::string longName = hostileName;
                    while (longName.size() < 12000) {
                        longName += hostileName;
                    }
                    send(fd, welcome(longName, longName, longName), generation);
                    send(fd,
                         StreamInfoMessage{StreamInfoMessage::State::paused,
                                           longName,
                                           VideoCodec::h264,
                                           {1280, 720},
                                           30,
                                           false},
                         generation);
                    send(fd, GoodbyeMessage{hostileName}, generation);
                }
                drain(fd, generation);
                break;
            }
            case Attack::floods: {
                send(fd, plain, generation);
                const Bytes unreadable = rawMessage(0x03, "{\"state\":\"\x1b[2J\u202E\"}");
                const Bytes again = ControlMessage(welcome(hostileName, "x", "y")).encoded();
                Bytes burst;
                for (int i = 0; i < 200; ++i) {
                    burst.insert(burst.end(), unreadable.begin(), unreadable.end());
                    burst.insert(burst.end(), again.begin(), again.end());
                }
                Bytes ignored;
                while (current(generation) && sendAll(fd, burst, generation) && receive(fd, ignored, 0ms)) {
                    ignored.clear();
                }
                // A header no sender sends ends the connection; the viewer comes back into the flood.
                sendAll(fd, header(0x04, 0), generation);
                break;
            }
            case Attack::quic: {
                WelcomeMessage overQuic = plain;
                overQuic.engine = EngineKind::quic();
                overQuic.engineParameters = {{"quicPort", std::to_string(quic_->port())},
                                             {"quicFingerprint", fingerprint_}};
                send(fd, overQuic, generation);
                drain(fd, generation);
                break;
            }
            case Attack::frames: {
                send(fd, plain, generation);
                Bytes slice{0, 0, 0, 8, 0x65, 0x88, 0x84, 0x00, 0x33, 0xFF, 0xFE, 0xF6};
                send(fd, frame(1, true, parameterSets(16000, 16000), slice, {16000, 16000}), generation);
                Bytes ignored;
                for (uint64_t number = 2; current(generation) && receive(fd, ignored, 0ms); ++number) {
                    ignored.clear();
                    Bytes payload(64 + random() % 4096);
                    for (auto& byte : payload) {
                        byte = static_cast<uint8_t>(random());
                    }
                    const bool key = number % 500 == 0;
                    if (!send(fd,
                              frame(number, key, key ? parameterSets(16000, 16000) : std::vector<Bytes>{},
                                    std::move(payload), {16000, 16000}),
                              generation)) {
                        break;
                    }
                }
                break;
            }
            case Attack::timeSync: {
                send(fd, plain, generation);
                Bytes received;
                ControlMessageParser parser;
                uint64_t swing = 0;
                while (current(generation) && receive(fd, received, 20ms)) {
                    const auto result = parser.append(received);
                    received.clear();
                    for (const auto& message : result.messages) {
                        if (const auto* request = message.get<TimeSyncRequest>()) {
                            // The sender's clock jumps between far behind and far ahead of the viewer's.
                            const uint64_t offset =
                                (swing++ % 2 == 0) ? -(uint64_t{1} << 62) : uint64_t{1} << 62;
                            TimeSyncResponse response;
                            response.clientSendTime = request->clientSendTime;
                            response.serverReceiveTime = request->clientSendTime + offset;
                            response.serverSendTime = request->clientSendTime + offset;
                            send(fd, response, generation);
                        }
                    }
                    if (result.error) {
                        break;
                    }
                }
                break;
            }
            case Attack::reconnects:
                send(fd, plain, generation);
                std::this_thread::sleep_for(20ms);
                break;
            case Attack::silence:
                drain(fd, generation);
                break;
            case Attack::preallocation: {
                send(fd, plain, generation);
                // The largest frame there is, announced and then trickled.
                sendAll(fd, header(0x10, ControlMessage::maximumPayloadLength), generation);
                const Bytes trickle(1024, 0x5A);
                Bytes ignored;
                while (current(generation) && receive(fd, ignored, 100ms) &&
                       sendAll(fd, trickle, generation)) {
                    ignored.clear();
                }
                break;
            }
            case Attack::proxy:
                pass(fd, std::move(hello), generation);
                break;
        }
    }

    // Carries the bytes both ways between the viewer and the real sender.
    void pass(int fd, Bytes alreadyRead, int generation) {
        const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(realPort_);
        if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(upstream);
            return;
        }
        const int yes = 1;
        ::setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sendAll(upstream, alreadyRead, generation);
        uint8_t buffer[65536];
        while (current(generation)) {
            pollfd pollers[2] = {{fd, POLLIN, 0}, {upstream, POLLIN, 0}};
            if (::poll(pollers, 2, 100) <= 0) {
                continue;
            }
            bool open = true;
            for (int i = 0; i < 2 && open; ++i) {
                if (pollers[i].revents == 0) {
                    continue;
                }
                const auto n = ::recv(pollers[i].fd, buffer, sizeof buffer, 0);
                open = n > 0 &&
                       sendAll(i == 0 ? upstream : fd, ByteView(buffer, static_cast<size_t>(n)), generation);
            }
            if (!open) {
                break;
            }
        }
        ::close(upstream);
    }

    uint16_t realPort_;
    test::IoThread io_;
    std::shared_ptr<QuicListener> quic_;
    std::string fingerprint_;
    std::vector<std::shared_ptr<QuicConnection>> quicConnections_;  // on io_
    std::vector<std::shared_ptr<QuicStream>> quicStreams_;          // on io_
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<Attack> attack_ = Attack::calm;
    std::atomic<int> generation_ = 0;
    std::atomic<int> welcomeCount_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> connections_;
};

// What one program went through in one attack.
// A folder of its own for one run, removed after everything in it has stopped.
struct Home {
    fs::path path;
    ~Home() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

struct Measure {
    long baseline = 0;
    long peak = 0;
    long logBefore = 0;
    long logAfter = 0;
};

}  // namespace

TEST(HostileSender, TheReceiverAndTheViewerStayUpBoundedAndCleanAndTheViewerPlaysARealSenderAfterwards) {
    if (!onPath("xvfb-run")) {
        GTEST_SKIP() << "xvfb-run is missing (package xvfb)";
    }
    const Home folder{fs::temp_directory_path() / ("kelvora-hostile-sender-" + std::to_string(::getpid()))};
    const fs::path& home = folder.path;
    fs::remove_all(home);
    fs::create_directories(home);
    const fs::path senderLog = home / "sender.log";
    const fs::path viewerLog = home / "viewer.log";
    const fs::path receiverLog = home / "receiver.log";
    std::ofstream(home / "settings.json")
        << R"({"senderName":"Echt","useTestPattern":true,"controlPort":0,"autoResolution":false,)"
           R"("resolution":{"width":1280,"height":720},"frameRate":30,"proxyStream":false,)"
           R"("enabledEngines":["tcp"]})";
    ChildProcess sender(home, senderLog,
                        {KELVORA_SENDER_PROGRAM, "--settings", (home / "settings.json").string()},
                        environment());
    std::smatch ready;
    std::string senderText;
    for (int attempt = 0; attempt < 600; ++attempt) {
        senderText = readFile(senderLog);
        if (std::regex_search(senderText, ready, std::regex("Sender bereit auf Port (\\d+)"))) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(ready.empty()) << senderText;
    FakeSender fake(static_cast<uint16_t>(std::stoi(ready[1])));
    const std::string address = "127.0.0.1:" + std::to_string(fake.port());

    ChildProcess viewer(home, viewerLog,
                        {"xvfb-run", "-a", "-s", "-screen 0 1280x800x24", TILVARA_VIEWER_PROGRAM,
                         "--measure-latency", "--connect", address},
                        environment({"QT_QUICK_BACKEND=software", "QT_QPA_PLATFORM=xcb"}));
    std::optional<ChildProcess> receiver;
    const auto startReceiver = [&] {
        receiver.emplace(home, receiverLog, std::vector<std::string>{KELVORA_RECEIVER_PROGRAM, address},
                         environment(), ChildProcess::LogMode::append);
    };
    startReceiver();
    std::this_thread::sleep_for(3s);
    const long viewerStart = viewer.residentBytes("tilvara-viewer");
    const long receiverStart = receiver->residentBytes("kelvora-receiver");
    ASSERT_GT(viewerStart, 0) << readFile(viewerLog);

    std::map<Attack, std::pair<Measure, Measure>> measured;
    for (const Attack attack :
         {Attack::welcome, Attack::floods, Attack::frames, Attack::quic, Attack::timeSync, Attack::reconnects,
          Attack::silence, Attack::preallocation}) {
        Measure forViewer{viewer.residentBytes("tilvara-viewer"), 0, fileSize(viewerLog), 0};
        Measure forReceiver{receiverStart, 0, fileSize(receiverLog), 0};
        fake.setAttack(attack);
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < start + attackWindow) {
            // The headless receiver plays one session and ends with it; it is started again at once.
            if (!receiver->alive()) {
                startReceiver();
            }
            forViewer.peak = std::max(forViewer.peak, viewer.residentBytes("tilvara-viewer"));
            forReceiver.peak = std::max(forReceiver.peak, receiver->residentBytes("kelvora-receiver"));
            std::this_thread::sleep_for(50ms);
        }
        forViewer.logAfter = fileSize(viewerLog);
        forReceiver.logAfter = fileSize(receiverLog);
        measured[attack] = {forViewer, forReceiver};
        ASSERT_TRUE(viewer.alive()) << nameOf(attack) << "\n" << readFile(viewerLog).substr(0, 20000);
    }
    fake.setAttack(Attack::calm);
    receiver.reset();

    for (const auto& [attack, pair] : measured) {
        const auto& [forViewer, forReceiver] = pair;
        std::printf("%-15s viewer %ld -> %ld MB, log +%ld kB; receiver %ld -> %ld MB, log +%ld kB\n",
                    nameOf(attack), forViewer.baseline >> 20, forViewer.peak >> 20,
                    (forViewer.logAfter - forViewer.logBefore) >> 10, forReceiver.baseline >> 20,
                    forReceiver.peak >> 20, (forReceiver.logAfter - forReceiver.logBefore) >> 10);
        EXPECT_LE(forViewer.peak - forViewer.baseline, memoryGrowthLimit) << "viewer, " << nameOf(attack);
        EXPECT_LE(forReceiver.peak - forReceiver.baseline, memoryGrowthLimit)
            << "receiver, " << nameOf(attack);
        if (attack == Attack::floods) {
            const double seconds = std::chrono::duration<double>(attackWindow).count();
            EXPECT_LE((forViewer.logAfter - forViewer.logBefore) / seconds, floodLogBytesPerSecond);
            EXPECT_LE((forReceiver.logAfter - forReceiver.logBefore) / seconds, floodLogBytesPerSecond);
        }
    }
    for (const auto& log : {viewerLog, receiverLog}) {
        const auto dirty = dirtyLine(readFile(log));
        EXPECT_FALSE(dirty) << log << ": " << dirty.value_or("");
    }
    // What the viewer keeps of a sender (its name and id for the next start) is as clean and as short.
    const std::string stored = readFile(home / "config" / "Kelvora" / "app.kelvora.viewer.defaults.json");
    EXPECT_LT(stored.size(), 4096u) << stored.substr(0, 400);
    for (const std::string escaped : {"\\r", "\\n", "\\u001b", "\\u0000", "\\u202e", "\\u202E", "\\u2028"}) {
        EXPECT_EQ(stored.find(escaped), std::string::npos) << escaped << " in " << stored.substr(0, 400);
    }

    // The same address now leads to a real sender: the viewer comes back to it and plays it with a latency
    // that agrees with the time code of the pictures it shows.
    const long beforeReal = fileSize(viewerLog);
    fake.setAttack(Attack::proxy);
    const std::regex firstPicture("Erstes Bild \\d+ ms nach Verbindungsbeginn");
    const std::regex report(
        "viewer-latency frames=(\\d+) shown-median-ms=([0-9.]+) shown-p95-ms=([0-9.]+) "
        "overlay-ms=([-0-9.]+)");
    int agreeing = 0;
    bool playing = false;
    std::string tail;
    for (int round = 0; round < 60 && agreeing < 5; ++round) {
        std::this_thread::sleep_for(1s);
        tail = readFile(viewerLog).substr(static_cast<size_t>(beforeReal));
        playing = playing || std::regex_search(tail, firstPicture);
        if (!playing) {
            continue;
        }
        std::smatch last;
        for (auto it = std::sregex_iterator(tail.begin(), tail.end(), report); it != std::sregex_iterator();
             ++it) {
            last = *it;
        }
        if (last.empty()) {
            continue;
        }
        const double shown = std::stod(last[2]);
        const double overlay = std::stod(last[4]);
        agreeing =
            overlay >= 0 && shown >= overlay - 5 && shown - overlay <= screenDelayLimitMs ? agreeing + 1 : 0;
    }
    EXPECT_TRUE(playing) << tail.substr(0, 20000);
    EXPECT_GE(agreeing, 5) << tail.substr(0, 20000);
    fake.setAttack(Attack::calm);
}
