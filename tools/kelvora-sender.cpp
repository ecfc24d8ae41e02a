// A headless sender: one output of the sender without the desktop application. It runs the settings of a
// JSON file (the stored form of the sender settings) or the defaults with the test picture as source,
// writes a status line whenever the state or the viewers change and every few seconds otherwise, and stops
// cleanly on SIGINT or SIGTERM, telling every viewer "sender stopped". Its id lasts across restarts (kept in
// its own defaults, apart from the desktop program's, so both may run on one computer), and each settings
// file gives an id of its own, so that one user may run several at once; --id overrides it.
//
//     kelvora-sender [--settings FILE] [--id SENDER-ID] [--help]

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/Json.h"
#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "core/WireError.h"
#include "platform/UserDefaults.h"
#include "platform/Uuid.h"
#include "sender/pipeline/SenderIdentity.h"
#include "sender/pipeline/SenderPipeline.h"

namespace {

using namespace kelvora;

struct Arguments {
    std::optional<std::string> settingsPath;
    std::optional<std::string> senderID;
};

constexpr const char* synopsis = "usage: kelvora-sender [--settings FILE] [--id SENDER-ID] [--help]\n";

// The keys a person most often gives; README.md lists every key of the stored form.
constexpr const char* help =
    "\n"
    "Runs one sender output without the desktop program until SIGINT or SIGTERM: the test picture, or the\n"
    "settings of FILE.\n"
    "\n"
    "  --settings FILE   a JSON object in the stored form of the sender settings; every key is optional\n"
    "  --id SENDER-ID    announces this id instead of the one kept for this computer and FILE\n"
    "  --help            shows this help\n"
    "\n"
    "Keys most often given in FILE:\n"
    "  \"useTestPattern\": true\n"
    "      source: the test picture (without a source key: the first external capture device)\n"
    "  \"useVideoFile\": true, \"videoFilePath\": \"/videos/clip.mp4\"\n"
    "      source: a video file, played in a loop\n"
    "  \"preferredDeviceID\": \"/dev/v4l/by-id/...\"\n"
    "      source: this capture device, or \"ndi:\" and the name of an NDI source\n"
    "  \"resolution\": {\"width\": 1280, \"height\": 720}, \"autoResolution\": false\n"
    "      picture size (the test picture takes it without \"autoResolution\"; else the source's)\n"
    "  \"frameRate\": 60, \"autoFrameRate\": false\n"
    "      frame rate (the test picture takes it without \"autoFrameRate\"; else the source's)\n"
    "  \"senderName\": \"Bühne\"\n"
    "      the name viewers see (else this computer's name)\n"
    "  \"controlPort\": 47811\n"
    "      the TCP port viewers connect to (47810; a free one when it is taken)\n"
    "\n"
    "Every key with its default: README.md, section \"Settings file of the headless sender\".\n";

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr, "kelvora-sender: %s\n%s", problem.c_str(), synopsis);
    std::exit(2);
}

Arguments parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--settings" || option == "--id") && i + 1 < argc) {
            (option == "--settings" ? arguments.settingsPath : arguments.senderID) = argv[++i];
        } else if (option == "--help" || option == "-h") {
            std::printf("%s%s", synopsis, help);
            std::exit(0);
        } else {
            usage("unknown or incomplete option: " + option);
        }
    }
    return arguments;
}

SenderSettings loadSettings(const std::optional<std::string>& path) {
    if (!path) {
        SenderSettings settings;
        settings.useTestPattern = true;
        return settings;
    }
    std::ifstream file(*path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + *path);
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    try {
        return SenderSettings::fromJson(json::decode(text));
    } catch (const WireError& error) {
        throw std::runtime_error(*path + " is not a settings object: " + error.text());
    }
}

// The file was just read, so it exists; the same file by another way (relative, through a link) is the
// same sender.
std::filesystem::path canonicalPath(const std::string& path) {
    std::error_code error;
    auto canonical = std::filesystem::canonical(path, error);
    if (error) {
        canonical = std::filesystem::absolute(path, error).lexically_normal();
    }
    return canonical;
}

const char* stateName(const SenderStatus::State& state) {
    switch (state.kind()) {
        case SenderStatus::State::Kind::error:
            return "error";
        case SenderStatus::State::Kind::waitingForSource:
            return "waitingForSource";
        case SenderStatus::State::Kind::starting:
            return "starting";
        case SenderStatus::State::Kind::noSignal:
            return "noSignal";
        case SenderStatus::State::Kind::live:
            return "live";
        case SenderStatus::State::Kind::paused:
            return "paused";
    }
    return "?";
}

// One line per status worth telling: a change of state, source, port or viewers at once, otherwise every
// five seconds.
class StatusLog {
  public:
    void handle(const SenderStatus& status) {
        const std::string key = std::string(stateName(status.state)) + "|" + status.sourceName + "|" +
                                std::to_string(status.controlPort.value_or(0)) + "|" +
                                std::to_string(status.clients.size()) + "|" +
                                std::to_string(status.tiers.size());
        const uint64_t now = MonotonicClock::now();
        std::lock_guard lock(mutex_);
        if (key == lastKey_ && MonotonicClock::milliseconds(lastLine_, now) < 5000) {
            return;
        }
        lastKey_ = key;
        lastLine_ = now;
        std::string tiers;
        for (const auto& tier : status.tiers) {
            tiers += " t" + std::to_string(tier.tier) + "=" + tier.dimensions.description() + "@" +
                     std::to_string(tier.bitrateKbps) + "kbit/s";
        }
        Log::network().info(
            "Status: {}{} · Quelle „{}“ · Port {} · {} Zuschauer · {:.1f} fps · {} kbit/s ·{}",
            stateName(status.state),
            status.state.message().empty() ? "" : " (" + status.state.message() + ")", status.sourceName,
            status.controlPort ? std::to_string(*status.controlPort) : std::string("–"),
            status.clients.size(), status.measuredFrameRate, status.outputKbps, tiers);
    }

  private:
    std::mutex mutex_;
    std::string lastKey_;
    uint64_t lastLine_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments = parse(argc, argv);

    // The signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A viewer that vanishes must not end the sender.
    signal(SIGPIPE, SIG_IGN);

    SenderSettings settings;
    try {
        settings = loadSettings(arguments.settingsPath);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kelvora-sender: %s\n", error.what());
        return 1;
    }
    std::string senderID;
    if (arguments.senderID) {
        senderID = *arguments.senderID;
    } else {
        try {
            UserDefaults defaults("app.kelvora.sender.headless");
            senderID = persistentSenderID(defaults);
        } catch (const UserDefaultsError& error) {
            // Sending matters more than being found again after a restart.
            senderID = newUuid();
            Log::network().warn(
                "Kennung nicht gespeichert ({}): Zuschauer finden diesen Sender nach einem "
                "Neustart nicht von selbst wieder",
                error.what());
        }
        if (arguments.settingsPath) {
            senderID = senderIDForSettingsFile(senderID, canonicalPath(*arguments.settingsPath));
        }
    }

    auto statusLog = std::make_shared<StatusLog>();
    auto pipeline = SenderPipeline::create(settings, senderID);
    pipeline->setStatusHandler([statusLog](SenderStatus status) { statusLog->handle(status); });
    Log::network().info("Tilvara Sender {} (ohne Oberfläche), Kennung {}, Name „{}“", KELVORA_VERSION,
                        senderID, SenderPipeline::displayName(settings));
    pipeline->start();

    int received = 0;
    sigwait(&stopSignals, &received);
    Log::network().info("Signal {} – Sender wird beendet", received == SIGINT ? "SIGINT" : "SIGTERM");
    pipeline->stop();
    // Once the stop has run on the server queue, every viewer's goodbye is on its way; the queue keeps
    // running a moment longer so that the goodbyes leave before the connections go away with the process.
    pipeline->queue().sync([] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    pipeline->queue().sync([] {});
    Log::network().info("Sender beendet");
    return 0;
}
