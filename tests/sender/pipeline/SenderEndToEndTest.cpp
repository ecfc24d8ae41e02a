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

// The headless sender program on a settings file, with folders and output of its own.
class HeadlessSender {
  public:
    HeadlessSender(const SenderSettings& settings, const std::string& senderID)
        : folder_(std::filesystem::temp_directory_path() / ("kelvora-sender-" + senderID)) {
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "settings.json") << json::encode(settings.toJson());
        std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + (folder_ / "config").string(),
                                                "XDG_DATA_HOME=" + (folder_ / "data").string()};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("XDG_")) {
                environment.emplace_back(*entry);
            }
        }
        std::vector<std::string> arguments = {KELVORA_SENDER_TOOL, "--settings", (folder_ / "settings.json"),
                                              "--id", senderID};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (folder_ / "output.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&pid_, KELVORA_SENDER_TOOL, &actions, nullptr, pointers(arguments).data(),
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
        std::filesystem::remove_all(folder_);
    }

    // Sends the signal and waits for the program to end; its exit code.
    std::optional<int> terminate(int signal) {
        int status = 0;
        kill(pid_, signal);
        waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
    }
    std::string output() const {
        std::ifstream file(folder_ / "output.log");
        return std::string(std::istreambuf_iterator<char>(file), {});
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

    std::filesystem::path folder_;
    pid_t pid_ = -1;
};

TEST(SenderEndToEnd, TheHeadlessSenderServesTheTestPatternAndSaysGoodbyeOnSigterm) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string id = "E2E-HEADLESS-" + std::to_string(getpid());
    AnnouncementWatch watch(id);
    SenderSettings settings = testSettings("Kopflos " + std::to_string(getpid()));
    settings.resolution = VideoDimensions::hd720();
    HeadlessSender sender(settings, id);

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
