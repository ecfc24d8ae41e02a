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
#include "system/ChildProcess.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using kelvora::testing::ChildProcess;
using kelvora::testing::onPath;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// An instrumented viewer paints far slower, so a picture waits longer between hand-over and screen.
constexpr double screenDelayLimitMs = 250;
#else
constexpr double screenDelayLimitMs = 50;
#endif

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
        sender.emplace(home, home / "sender.log",
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
        viewer.emplace(home, home / "viewer.log", std::move(argv),
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
    std::optional<ChildProcess> sender;
    std::optional<ChildProcess> viewer;
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
