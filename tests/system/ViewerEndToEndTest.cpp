// The viewer program in a virtual X display, watching the headless sender on loopback: it finds the sender
// by DNS-SD (in the test script's private avahi environment) or by a typed address, reaches playing, shows
// in its debug overlay a latency that agrees with the time code of the pictures it shows, and says goodbye
// when it is told to quit.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Eventually.h"

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// An instrumented viewer paints far slower, so a picture waits longer between hand-over and screen.
constexpr double screenDelayLimitMs = 250;
#else
constexpr double screenDelayLimitMs = 50;
#endif

// A program with a home of its own; its output goes to a file.
class Process {
  public:
    Process(const fs::path& home, const std::string& logName, std::vector<std::string> argv,
            std::vector<std::string> extraEnvironment = {})
        : logPath_(home / logName) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0 && text.rfind("DISPLAY=", 0) != 0) {
                environment.push_back(text);
            }
        }
        environment.push_back("HOME=" + home.string());
        environment.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
        fs::create_directories(home / "runtime");
        fs::permissions(home / "runtime", fs::perms::owner_all);
        for (auto& text : extraEnvironment) {
            environment.push_back(std::move(text));
        }
        std::vector<char*> envp;
        for (auto& text : environment) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);
        std::vector<char*> args;
        for (auto& text : argv) {
            args.push_back(text.data());
        }
        args.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // A group of its own, so that the wrapper and the program under it can be ended together.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int spawned = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = 0;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }

    // Asked to stop first, so that a sender withdraws its DNS-SD announcement before the next test browses.
    ~Process() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            if (!wait(5s)) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
    }

    std::string log() const {
        std::ifstream file(logPath_);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }

    // Waits up to `limit` for the log to match; the match's groups when it does.
    std::optional<std::vector<std::string>> waitFor(const std::regex& pattern,
                                                    std::chrono::milliseconds limit) {
        for (auto waited = 0ms; waited < limit; waited += 50ms) {
            const std::string text = log();
            std::smatch match;
            if (std::regex_search(text, match, pattern)) {
                return std::vector<std::string>(match.begin(), match.end());
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

    // Signals the one process of the group with this command name (the program under a wrapper).
    bool signal(const std::string& command, int number) {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) {
                continue;
            }
            const size_t open = line.find('(');
            const size_t close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close < open) {
                continue;
            }
            std::istringstream rest(line.substr(close + 2));
            std::string state;
            pid_t parent = 0;
            pid_t group = 0;
            rest >> state >> parent >> group;
            if (group == pid_ && line.substr(open + 1, close - open - 1) == command) {
                return ::kill(std::stoi(entry.path().filename().string()), number) == 0;
            }
        }
        return false;
    }

    // The exit status once the process ended within `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        for (auto waited = 0ms; waited < limit; waited += 50ms) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return status;
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

  private:
    fs::path logPath_;
    pid_t pid_ = 0;
};

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (::access((fs::path(folder) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

class ViewerEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!onPath("xvfb-run")) {
            GTEST_SKIP() << "xvfb-run is missing (package xvfb)";
        }
        home = fs::temp_directory_path() / ("tilvara-viewer-e2e-" + std::to_string(::getpid()));
        fs::remove_all(home);
        fs::create_directories(home);
        std::ofstream(home / "settings.json")
            << R"({"senderName":"Bildtest","useTestPattern":true,"controlPort":0,"autoResolution":false,)"
               R"("resolution":{"width":1280,"height":720},"frameRate":30,"proxyStream":false,)"
               R"("enabledEngines":["tcp","quic"]})";
        char id[40];
        std::snprintf(id, sizeof id, "0E2E0000-0000-4000-8000-%012X", static_cast<unsigned>(::getpid()));
        senderID = id;
        sender.emplace(home, "sender.log",
                       std::vector<std::string>{KELVORA_SENDER_PROGRAM, "--settings",
                                                (home / "settings.json").string(), "--id", senderID});
        const auto ready = sender->waitFor(std::regex("Sender bereit auf Port (\\d+)"), 30s);
        ASSERT_TRUE(ready) << sender->log();
        port = std::stoi((*ready)[1]);
    }

    void TearDown() override {
        viewer.reset();
        sender.reset();
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    void startViewer(std::vector<std::string> extra) {
        // The overlay is on from the start and the sender is the one watched last time, as a user would have
        // left them: DNS-SD results of senders from other tests are then passed over.
        fs::create_directories(home / "config" / "Kelvora");
        std::ofstream(home / "config" / "Kelvora" / "app.kelvora.viewer.defaults.json")
            << R"({"player.overlay": true, "player.lastSender": ")" << senderID << R"("})";
        std::vector<std::string> argv{
            "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", TILVARA_VIEWER_PROGRAM, "--measure-latency"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        viewer.emplace(home, "viewer.log", std::move(argv),
                       std::vector<std::string>{"QT_QUICK_BACKEND=software", "QT_QPA_PLATFORM=xcb"});
    }

    // Playing, then five reports in which the overlay's median and the shown pictures' time codes agree.
    void expectPlayingWithAgreeingLatency() {
        ASSERT_TRUE(viewer->waitFor(std::regex("Erstes Bild \\d+ ms nach Verbindungsbeginn"), 60s))
            << viewer->log();
        const std::regex report(
            "viewer-latency frames=(\\d+) shown-median-ms=([0-9.]+) shown-p95-ms=([0-9.]+) "
            "overlay-ms=([-0-9.]+)");
        int agreeing = 0;
        for (int round = 0; round < 40 && agreeing < 5; ++round) {
            std::this_thread::sleep_for(1s);
            const std::string text = viewer->log();
            std::vector<std::smatch> reports;
            for (auto it = std::sregex_iterator(text.begin(), text.end(), report);
                 it != std::sregex_iterator(); ++it) {
                reports.push_back(*it);
            }
            if (reports.empty()) {
                continue;
            }
            const auto& last = reports.back();
            const double shown = std::stod(last[2]);
            const double overlay = std::stod(last[4]);
            // The overlay measures to the hand-over to the display, the time code to the swapped frame: the
            // screen can show a picture only after it was handed over, by its way to the screen later (a
            // frame interval and a little more).
            agreeing = overlay >= 0 && shown >= overlay - 5 && shown - overlay <= screenDelayLimitMs
                           ? agreeing + 1
                           : 0;
        }
        EXPECT_GE(agreeing, 5) << viewer->log();
    }

    void expectGoodbyeOnSignal(int signal) {
        ASSERT_TRUE(viewer->signal("tilvara-viewer", signal)) << viewer->log();
        const auto status = viewer->wait(20s);
        ASSERT_TRUE(status) << viewer->log();
        EXPECT_TRUE(sender->waitFor(std::regex("verabschiedet sich: receiver stopped"), 10s))
            << sender->log();
    }

    fs::path home;
    std::string senderID;
    uint16_t port = 0;
    std::optional<Process> sender;
    std::optional<Process> viewer;
};

TEST_F(ViewerEndToEnd, TypedAddressPlaysAndSaysGoodbyeOnSigterm) {
    startViewer({"--connect", "127.0.0.1:" + std::to_string(port)});
    expectPlayingWithAgreeingLatency();
    expectGoodbyeOnSignal(SIGTERM);
}

TEST_F(ViewerEndToEnd, FoundByDnsSdPlaysAndSaysGoodbyeOnSigint) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    startViewer({});
    expectPlayingWithAgreeingLatency();
    expectGoodbyeOnSignal(SIGINT);
}

}  // namespace
