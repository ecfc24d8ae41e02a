// The sender as a whole on loopback: its announcement on the network, the handshake, pictures that decode
// and carry their capture time, and the headless sender program ending cleanly on SIGTERM.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "PipelineTesting.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/SenderBrowser.h"
#include "receiver/session/VideoDecoder.h"

extern char** environ;

namespace kelvora {
namespace {

using namespace testing;
using StreamState = StreamInfoMessage::State;

// Every announcement the network shows of one sender id.
class AnnouncementWatch {
  public:
    explicit AnnouncementWatch(std::string senderID) : browser_(SenderBrowser::create()) {
        browser_->setOnChange([this, senderID](const std::vector<DiscoveredSender>& senders) {
            for (const auto& sender : senders) {
                if (sender.id == senderID) {
                    seen_.push(sender);
                }
            }
        });
        browser_->start();
    }
    ~AnnouncementWatch() { browser_->stop(); }

    std::optional<DiscoveredSender> waitFor(StreamState state) {
        return seen_.waitFor(
            [&](const DiscoveredSender& sender) { return sender.announcement.state == state; },
            std::chrono::seconds(30));
    }

  private:
    std::shared_ptr<SenderBrowser> browser_;
    Eventually<DiscoveredSender> seen_;
};

TEST(SenderEndToEnd, TheAnnouncementGoesFromStartingToLiveWithTheFirstPicture) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string id = "E2E-ANNOUNCE-" + std::to_string(getpid());
    AnnouncementWatch watch(id);
    PipelineUnderTest test(testSettings("Ansage " + std::to_string(getpid())), id, /*announce=*/true);
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source);

    auto starting = watch.waitFor(StreamState::starting);
    ASSERT_TRUE(starting);
    EXPECT_EQ(starting->announcement.sourceName, "Testbild");
    EXPECT_EQ(starting->announcement.engines, std::vector<EngineKind>{EngineKind::tcp()});
    ASSERT_TRUE(test.deliverUntilLive(*source));
    auto live = watch.waitFor(StreamState::live);
    ASSERT_TRUE(live);
    EXPECT_EQ(live->announcement.dimensions, (VideoDimensions{320, 180}));
}

// A folder for headless senders: their settings files, their config folder and their output; removed at
// the end.
struct SenderFolder {
    explicit SenderFolder(const std::string& name)
        : path(std::filesystem::temp_directory_path() / ("kelvora-sender-" + name)) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~SenderFolder() { std::filesystem::remove_all(path); }
    std::filesystem::path write(const std::string& file, const SenderSettings& settings) const {
        std::ofstream(path / file) << json::encode(settings.toJson());
        return path / file;
    }
    std::filesystem::path path;
};

// The headless sender program with these options, working in `folder` (its config folder is there too)
// and writing its output to the file `log` there.
class HeadlessSender {
  public:
    HeadlessSender(const std::filesystem::path& folder, std::vector<std::string> options,
                   const std::string& log)
        : logPath_(folder / log) {
        std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + (folder / "config").string(),
                                                "XDG_DATA_HOME=" + (folder / "data").string()};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("XDG_")) {
                environment.emplace_back(*entry);
            }
        }
        options.insert(options.begin(), KELVORA_SENDER_TOOL);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&pid_, KELVORA_SENDER_TOOL, &actions, nullptr, pointers(options).data(),
                        pointers(environment).data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HeadlessSender() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Sends the signal and waits for the program to end; its exit code.
    std::optional<int> terminate(int signal) {
        int status = 0;
        kill(pid_, signal);
        waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
    }
    std::string output() const {
        std::ifstream file(logPath_);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // The id its first line says it announces; empty when none came within 30 s.
    std::string senderID() const {
        const std::regex line("Kennung ([^,\\s]+),");
        for (int waited = 0; waited < 600; ++waited) {
            std::smatch match;
            const std::string text = output();
            if (std::regex_search(text, match, line)) {
                return match[1];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

  private:
    static std::vector<char*> pointers(std::vector<std::string>& texts) {
        std::vector<char*> list;
        for (auto& text : texts) {
            list.push_back(text.data());
        }
        list.push_back(nullptr);
        return list;
    }

    std::filesystem::path logPath_;
    pid_t pid_ = -1;
};

// Each settings file is a sender of its own whose id outlives a restart, also when a file is named again
// another way (relative to the working folder, through a link). The two start at once on a computer where
// none ran before, as two services at boot do; the race for the kept id itself is the identity test's.
TEST(SenderEndToEnd, EachSettingsFileKeepsAnIdOfItsOwnOverARestart) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string run = std::to_string(getpid());
    SenderFolder folder("ids-" + run);
    const auto first = folder.write("kamera-1.json", testSettings("Kamera 1 " + run));
    const auto second = folder.write("kamera-2.json", testSettings("Kamera 2 " + run));
    std::filesystem::create_symlink(second, folder.path / "link.json");
    const auto startedAtOnce = [&](const std::string& one, const std::string& two) {
        HeadlessSender a(folder.path, {"--settings", one}, "1.log");
        HeadlessSender b(folder.path, {"--settings", two}, "2.log");
        std::pair ids{a.senderID(), b.senderID()};
        a.terminate(SIGTERM);
        b.terminate(SIGTERM);
        return ids;
    };
    const auto [one, two] = startedAtOnce(first, second);
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    EXPECT_NE(one, two);
    EXPECT_EQ(startedAtOnce("kamera-1.json", "link.json"), std::pair(one, two));
}

TEST(SenderEndToEnd, TheHeadlessSenderServesTheTestPatternAndSaysGoodbyeOnSigterm) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string id = "E2E-HEADLESS-" + std::to_string(getpid());
    AnnouncementWatch watch(id);
    SenderSettings settings = testSettings("Kopflos " + std::to_string(getpid()));
    settings.resolution = VideoDimensions::hd720();
    SenderFolder folder(id);
    HeadlessSender sender(folder.path, {"--settings", folder.write("settings.json", settings), "--id", id},
                          "output.log");

    auto live = watch.waitFor(StreamState::live);
    ASSERT_TRUE(live) << sender.output();
    TestViewer viewer(live->endpoint.connectTarget().port);
    auto welcome = viewer.join(TestViewer::hello("E2E-VIEWER"));
    ASSERT_TRUE(welcome) << sender.output();
    EXPECT_EQ(welcome->senderID, id);
    EXPECT_EQ(welcome->stream.state, StreamState::live);
    EXPECT_TRUE(welcome->stream.isTestPattern);
    ASSERT_TRUE(nextMatching<StreamTuning>(viewer));

    // A new viewer starts on the proxy while the main tier is built beside it; it reports the main tier
    // ready at its first frame, as a player does, and then gets the main tier alone.
    viewer.send(QualityPreferenceMessage{StreamQuality::full});
    std::vector<EncodedVideoFrame> chain;
    while (chain.size() < 30) {
        auto frame = nextMatching<EncodedVideoFrame>(viewer, [](const auto& f) { return f.tier == 0; });
        ASSERT_TRUE(frame) << sender.output();
        if (chain.empty() && frame->isKeyframe()) {
            viewer.send(TierReadyMessage{0, false});
        }
        if (!chain.empty() || frame->isKeyframe()) {
            chain.push_back(*frame);
        }
    }
    EXPECT_EQ(chain.front().dimensions, VideoDimensions::hd720());
    EXPECT_EQ(sender.terminate(SIGTERM), 0) << sender.output();
    EXPECT_EQ(viewer.goodbyeReason(), "sender stopped");

    std::mutex mutex;
    std::map<uint64_t, std::optional<uint64_t>> timecodes;
    int errors = 0;
    {
        VideoDecoder decoder([&](VideoDecoder::Result result) {
            std::lock_guard lock(mutex);
            if (auto* decoded = std::get_if<DecodedFrame>(&result)) {
                timecodes[decoded->frame.frameNumber] = TestPatternTimecode::read(decoded->pixelBuffer);
            } else {
                ++errors;
            }
        });
        for (const auto& frame : chain) {
            decoder.decode(frame, MonotonicClock::now());
        }
        decoder.invalidate();
    }
    EXPECT_EQ(errors, 0);
    EXPECT_GE(timecodes.size(), chain.size() - 2);
    for (const auto& frame : chain) {
        EXPECT_TRUE(frame.flags.contains(EncodedVideoFrame::Flags::testPattern));
        if (auto found = timecodes.find(frame.frameNumber); found != timecodes.end()) {
            // The strip holds the low 48 bits of the capture time in microseconds.
            const uint64_t microseconds = (frame.captureTime / 1000) & ((uint64_t{1} << 48) - 1);
            EXPECT_EQ(found->second, microseconds * 1000) << "frame " << frame.frameNumber;
        }
    }
}

}  // namespace
}  // namespace kelvora
