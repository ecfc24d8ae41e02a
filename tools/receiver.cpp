// Headless receiver: finds a sender (DNS-SD, or a host:port given on the command line), plays its stream
// through a receiver session whose only display is a counter, and prints the playback figures once a second.
// For test-pattern streams it also reads the capture time from every presented picture's time-code strip and
// prints the capture-to-display latency that results; that figure needs sender and receiver on one
// computer (one monotonic clock), where it checks the session's own, clock-synchronised latency.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "core/MonotonicClock.h"
#include "core/PeerText.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "receiver/player/StatusPresenters.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/SenderBrowser.h"

namespace {

using namespace kelvora;
using namespace std::chrono_literals;

struct Options {
    std::optional<NetworkEndpoint> address;
    std::string senderName;
    EngineKind engine = EngineKind::tcp();
    int seconds = 0;  // 0: until interrupted
    double browseSeconds = 10;
    // Playout smoothing holds pictures back to an even latency; without it every picture is shown as soon
    // as it is decoded, which is what a latency measurement wants.
    bool smoothing = true;
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "Aufruf: %s [--engine tcp|quic] [--seconds N] [--name SENDER] [--browse-seconds N] "
                 "[--no-smoothing] [HOST:PORT]\n"
                 "Ohne HOST:PORT wird der erste per DNS-SD gefundene Sender abgespielt (mit --name der so "
                 "benannte).\n",
                 program);
}

std::optional<NetworkEndpoint> parseAddress(const std::string& text) {
    // "host:port", "[v6]:port"
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || number < 1 || number > 65535) {
        return std::nullopt;
    }
    return NetworkEndpoint::hostPort(host, static_cast<uint16_t>(number));
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (argument == "--engine") {
            auto engine = value();
            if (!engine) {
                return std::nullopt;
            }
            options.engine = EngineKind{*engine};
        } else if (argument == "--seconds" || argument == "--browse-seconds") {
            auto number = value();
            char* end = nullptr;
            const double parsed = number ? std::strtod(number->c_str(), &end) : -1;
            if (!number || *end != '\0' || parsed < 0) {
                return std::nullopt;
            }
            if (argument == "--seconds") {
                options.seconds = static_cast<int>(parsed);
            } else {
                options.browseSeconds = parsed;
            }
        } else if (argument == "--no-smoothing") {
            options.smoothing = false;
        } else if (argument == "--name") {
            auto name = value();
            if (!name) {
                return std::nullopt;
            }
            // Viewers list senders under cleaned names: the one asked for is cleaned the same way, so that it
            // is found and can be printed.
            options.senderName = peerText(*name);
        } else if (!argument.empty() && argument[0] != '-' && !options.address) {
            options.address = parseAddress(argument);
            if (!options.address) {
                std::fprintf(stderr, "Adresse nicht lesbar: %s\n", argument.c_str());
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    return options;
}

std::optional<DiscoveredSender> browse(const Options& options) {
    std::mutex mutex;
    std::condition_variable found;
    std::optional<DiscoveredSender> chosen;
    auto browser = SenderBrowser::create();
    browser->setOnChange([&](const std::vector<DiscoveredSender>& senders) {
        std::lock_guard lock(mutex);
        for (const auto& sender : senders) {
            if (!chosen && (options.senderName.empty() || sender.name == options.senderName)) {
                chosen = sender;
            }
        }
        found.notify_all();
    });
    browser->start();
    std::unique_lock lock(mutex);
    found.wait_for(lock, std::chrono::duration<double>(options.browseSeconds),
                   [&] { return chosen.has_value(); });
    auto result = chosen;
    lock.unlock();
    browser->stop();
    return result;
}

// What the counting display saw: pictures, and the capture-to-display latency of test-pattern pictures.
class CountingDisplay {
  public:
    void present(const PixelBuffer& picture) {
        const uint64_t now = MonotonicClock::now();
        const auto capture = TestPatternTimecode::read(picture);
        std::lock_guard lock(mutex_);
        ++pictures_;
        if (capture) {
            // A time code no real sender writes (or a clock no real sender keeps) is no latency.
            if (const double latency = MonotonicClock::milliseconds(*capture, now);
                isPlausibleLatency(latency)) {
                latencies_.add(latency);
            }
        } else {
            ++withoutTimecode_;
        }
    }

    struct Figures {
        uint64_t pictures = 0;
        uint64_t withoutTimecode = 0;
        std::optional<double> median;
        std::optional<double> p95;
    };

    Figures take() {
        std::lock_guard lock(mutex_);
        Figures figures{pictures_, withoutTimecode_, latencies_.median(), latencies_.p95()};
        latencies_.removeAll();
        return figures;
    }

  private:
    std::mutex mutex_;
    uint64_t pictures_ = 0;
    uint64_t withoutTimecode_ = 0;
    SampleWindow latencies_{600};
};

std::string figure(const std::optional<double>& value) {
    if (!value) {
        return "–";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *value);
    return text;
}

std::atomic<bool> interrupted{false};

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }

    NetworkEndpoint endpoint;
    if (options->address) {
        endpoint = *options->address;
    } else {
        const auto searchStart = MonotonicClock::now();
        auto sender = browse(*options);
        if (!sender) {
            if (options->senderName.empty()) {
                std::fprintf(stderr, "Kein Sender gefunden.\n");
            } else {
                std::fprintf(stderr, "Kein Sender „%s“ gefunden.\n", options->senderName.c_str());
            }
            return 1;
        }
        std::printf("Gefunden nach %.0f ms: %s (%s)\n",
                    MonotonicClock::milliseconds(searchStart, MonotonicClock::now()), sender->name.c_str(),
                    sender->subtitle().c_str());
        endpoint = sender->endpoint;
    }

    struct sigaction action {};
    action.sa_handler = [](int) { interrupted = true; };
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CountingDisplay display;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> endText;

    // A sender replaces an older session of the same client id: every run is a viewer of its own.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string clientID = std::string("kelvora-receiver-") + host + "-" + std::to_string(getpid());
    auto session = ReceiverSession::create(options->engine, endpoint,
                                           ReceiverIdentity{clientID, "Headless-Empfänger", "Linux"});
    session->setSmoothingEnabled(options->smoothing);
    session->frameOutput.set([&display](PixelBuffer picture) { display.present(picture); });
    session->setEventHandler([&](const ReceiverSession::Event& event) {
        if (const auto* connected = std::get_if<ReceiverSession::Connected>(&event)) {
            const auto& stream = connected->welcome.stream;
            std::printf("Verbunden mit %s über %s: %s%s%s %d fps%s\n", connected->welcome.senderName.c_str(),
                        connected->welcome.engine.description().c_str(), stream.sourceName.c_str(),
                        stream.sourceName.empty() ? "" : ", ", stream.dimensions.description().c_str(),
                        stream.frameRate, stream.isTestPattern ? ", Testbild" : "");
        } else if (std::holds_alternative<ReceiverSession::FirstFrame>(event)) {
            std::printf("Erstes Bild\n");
        } else if (const auto* ended = std::get_if<ReceiverSession::Ended>(&event)) {
            // The viewer's sentence, with the system's own words behind it where there are any.
            std::string text = endReason(ended->error).withSystemText();
            std::lock_guard lock(mutex);
            endText = std::move(text);
            changed.notify_all();
        }
        std::fflush(stdout);
    });
    session->start();

    const auto started = std::chrono::steady_clock::now();
    int exitCode = 0;
    for (auto next = started + 1s;; next += 1s) {
        {
            std::unique_lock lock(mutex);
            changed.wait_until(lock, next, [&] { return endText.has_value(); });
            if (endText) {
                std::printf("Sitzung beendet: %s\n", endText->c_str());
                exitCode = 1;
                break;
            }
        }
        const auto stats = session->statistics();
        const auto shown = display.take();
        std::printf(
            "%3lds  %5.1f fps  %7.0f kbit/s  Latenz %s ms (p95 %s)  Zeitcode %s ms (p95 %s)  "
            "RTT %s ms  Jitter %.1f ms  Glättung %.1f ms  empfangen %d  dekodiert %d  verloren %d  "
            "verworfen %d  verspätet %d  Decoder-Fehler %d  Keyframes %d  Bilder %llu\n",
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
                    .count()),
            stats.framesPerSecond, stats.receivedKbps, figure(stats.latencyMs).c_str(),
            figure(stats.latencyP95Ms).c_str(), figure(shown.median).c_str(), figure(shown.p95).c_str(),
            figure(stats.rttMs).c_str(), stats.jitterMs, stats.smoothingDelayMs, stats.framesReceived,
            stats.framesDecoded, stats.framesLost, stats.framesDropped, stats.framesLate, stats.decodeErrors,
            stats.keyframeRequests, static_cast<unsigned long long>(shown.pictures));
        std::fflush(stdout);
        const bool timeUp = options->seconds > 0 && std::chrono::steady_clock::now() - started >=
                                                        std::chrono::seconds(options->seconds);
        if (timeUp || interrupted) {
            break;
        }
    }
    session->stop();
    // The goodbye leaves on the session queue; wait for it to be handed over before the process ends.
    session->queue().sync([] {});
    session.reset();
    return exitCode;
}
