#include "sender/pipeline/SenderPipeline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "PipelineTesting.h"
#include "sender/server/StreamingEngine.h"
#include "support/ScopedEnvironment.h"
#include "support/TestIdentity.h"

namespace kelvora {
namespace {

using namespace testing;
using Kind = SenderStatus::State::Kind;
using StreamState = StreamInfoMessage::State;

auto stateIs(Kind kind) {
    return [kind](const SenderStatus& status) { return status.state.kind() == kind; };
}
auto mainTierIs(VideoDimensions size) {
    return [size](const SenderStatus& status) {
        return !status.tiers.empty() && status.tiers[0].dimensions == size;
    };
}
// In a pipeline without pictures and viewers only the tick publishes: three statuses hold a watchdog run.
void waitForWatchdog(PipelineUnderTest& test) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(test.waitForStatus());
    }
}

TEST(SenderPipelineWatchdog, SilenceIsReportedAndOnlyRecoveryRestartsTheSource) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source));

    test.now += 2500 * kMs;
    ASSERT_TRUE(test.waitForStatus(stateIs(Kind::noSignal)));
    test.now += 5000 * kMs;
    waitForWatchdog(test);
    EXPECT_EQ(test.sources->madeCount(), 1u);
    EXPECT_EQ(test.waitForStatus().value().sourceName, "Testbild");

    test.recovery = true;
    auto restarted = test.sources->waitForSource(2);
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(source->wasStopped());
    EXPECT_TRUE(test.waitForStatus(stateIs(Kind::starting)));
}

TEST(SenderPipelineWatchdog, APictureStampedAfterTheWatchdogReadTheClockIsNotSilence) {
    PipelineUnderTest test(testSettings());
    test.recovery = true;
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source));
    // The source's thread notes a picture just after the server queue took its "now": no time has passed.
    test.now += 10 * kMs;
    source->deliver(nv12Picture(320, 180, 120), test.now);
    test.now -= 5 * kMs;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(test.waitForStatus().value().state.kind(), Kind::live);
    }
    EXPECT_EQ(test.sources->madeCount(), 1u);
}

TEST(SenderPipelineWatchdog, AFailedSourceShowsItsErrorAndIsRetriedAfterTwoSeconds) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    auto first = test.sources->waitForSource(1);
    ASSERT_TRUE(first && test.deliverUntilLive(*first));
    first->fail("Kabel gezogen");
    auto failed = test.waitForStatus(stateIs(Kind::error));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->state.message(), "Kabel gezogen");
    EXPECT_TRUE(first->wasStopped());

    auto second = test.sources->waitForSource(2);
    ASSERT_TRUE(second && test.deliverUntilLive(*second));
    // A late report of the replaced source changes nothing.
    first->fail("noch einmal");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(test.waitForStatus().value().state.kind(), Kind::live);
    }
    EXPECT_EQ(test.sources->madeCount(), 2u);
}

TEST(SenderPipelineSource, FollowsTheSourceSizeAndTakesItOverAtOnceWhenFollowingIsSwitchedBackOn) {
    SenderSettings settings = testSettings();
    PipelineUnderTest test(settings);
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source, 640, 360));
    ASSERT_TRUE(test.waitForStatus(mainTierIs({640, 360})));

    settings.autoResolution = false;
    settings.resolution = VideoDimensions::hd720();
    test.pipeline->updateSettings(settings);
    ASSERT_TRUE(test.waitForStatus(mainTierIs(VideoDimensions::hd720())));
    test.sources->waitForSource(2)->deliver(nv12Picture(640, 360, 120), test.now);

    // The source keeps its size, so it never reports a new one; the tiers follow it all the same.
    settings.autoResolution = true;
    test.pipeline->updateSettings(settings);
    auto adopted = test.waitForStatus(mainTierIs({640, 360}));
    ASSERT_TRUE(adopted);
    EXPECT_EQ(adopted->dimensions, (VideoDimensions{640, 360}));

    // A source larger than any viewer takes is sent at the largest size of its aspect that they do.
    test.sources->waitForSource(3)->deliver(nv12Picture(5120, 2880, 120), test.now);
    EXPECT_TRUE(test.waitForStatus(mainTierIs({4096, 2304})));
}

TEST(SenderPipelineSource, SettlesOnTheFrameRateTheSourceReallyDelivers) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source));
    // Two seconds of 25 fps, after the pictures that made it live have left the meter's window.
    const uint64_t end = test.now + 2100 * kMs;
    for (int i = 0; i < 50; ++i) {
        source->deliver(nv12Picture(320, 180, 120, i), end - uint64_t(49 - i) * 40 * kMs);
    }
    test.now = end;
    auto followed = test.waitForStatus([](const SenderStatus& s) { return s.configuredFrameRate == 25; });
    ASSERT_TRUE(followed);
    EXPECT_NEAR(followed->measuredFrameRate, 25, 0.6);
}

TEST(SenderPipelineViewers, PauseKeepsViewersAndRenameRestartsTheServer) {
    SenderSettings settings = testSettings("Probe A");
    PipelineUnderTest test(settings);
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source));
    const uint16_t port = test.port();
    TestViewer viewer(port);
    ASSERT_EQ(viewer.join(TestViewer::hello("VIEWER-1")).value().senderName, "Probe A");

    test.pipeline->setPaused(true);
    auto isPaused = [](const StreamInfoMessage& info) { return info.state == StreamState::paused; };
    ASSERT_TRUE(nextMatching<StreamInfoMessage>(viewer, isPaused));
    auto paused = test.waitForStatus(stateIs(Kind::paused));
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->clients.size(), 1u);
    EXPECT_TRUE(source->wasStopped());

    test.pipeline->setPaused(false);
    auto resumed = test.sources->waitForSource(2);
    auto isStarting = [](const StreamInfoMessage& info) { return info.state == StreamState::starting; };
    ASSERT_TRUE(resumed && nextMatching<StreamInfoMessage>(viewer, isStarting));

    // Only the name changes: the server restarts and tells its viewers; the source keeps running.
    settings.senderName = "Probe B";
    test.pipeline->updateSettings(settings);
    EXPECT_EQ(viewer.goodbyeReason(), "sender restarting");
    auto renamed =
        test.waitForStatus([&](const SenderStatus& s) { return s.controlPort && *s.controlPort != port; });
    ASSERT_TRUE(renamed);
    EXPECT_TRUE(resumed->isRunning());
    EXPECT_EQ(test.sources->madeCount(), 2u);
    TestViewer again(*renamed->controlPort);
    EXPECT_EQ(again.join(TestViewer::hello("VIEWER-1")).value().senderName, "Probe B");
}

TEST(SenderPipelineViewers, BitrateChangesReachViewersWithoutARestartAndRemoteTuningNeedsConsent) {
    SenderSettings settings = testSettings();
    settings.automaticBitrate = false;
    settings.remoteTuningAllowed = false;
    PipelineUnderTest test(settings);
    test.pipeline->start();
    TestViewer viewer(test.port());
    ASSERT_TRUE(viewer.join(TestViewer::hello("VIEWER-2")));
    auto first = nextMatching<StreamTuning>(viewer);
    ASSERT_TRUE(first);
    ASSERT_FALSE(first->tiers.empty());

    settings.bitrateKbps = 8000;
    test.pipeline->updateSettings(settings);
    ASSERT_TRUE(
        nextMatching<StreamTuning>(viewer, [](const StreamTuning& t) { return t.mainMaximumKbps == 8000; }));
    EXPECT_EQ(test.sources->madeCount(), 1u);

    // Refused: the viewer hears the sender's own values back, and nothing changes.
    StreamTuningUpdate update;
    static_cast<StreamTuning&>(update) = *first;
    update.proxyKbps = 400;
    viewer.send(update);
    auto answer = nextMatching<StreamTuning>(viewer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->proxyKbps, settings.proxyBitrateKbps);
    settings.remoteTuningAllowed = true;
    test.pipeline->updateSettings(settings);
    test.pipeline->queue().sync([] {});
    EXPECT_EQ(test.pipeline->settings(), settings);

    // Allowed and no one else to decide: the pipeline applies it itself.
    viewer.send(update);
    ASSERT_TRUE(nextMatching<StreamTuning>(viewer, [](const StreamTuning& t) { return t.proxyKbps == 400; }));
    EXPECT_EQ(test.pipeline->settings().proxyBitrateKbps, 400);
}

// Noise: nothing for an encoder to predict, so a tier puts out all the bitrate it is given.
PixelBuffer noisePicture(int width, int height, uint32_t seed) {
    PixelBuffer picture = PixelBuffer::make(PixelFormat::nv12, width, height);
    uint32_t state = seed * 2654435761u + 1;
    for (int plane = 0; plane < 2; ++plane) {
        for (int row = 0; row < picture.planeHeight(plane); ++row) {
            uint8_t* line = picture.data(plane) + size_t(row) * picture.stride(plane);
            for (int column = 0; column < width; ++column) {
                state = state * 1664525u + 1013904223u;
                line[column] = uint8_t(state >> 24);
            }
        }
    }
    return picture;
}

TEST(SenderPipelineViewers, TheMainTierANewViewerBuildsUpKeepsEveryPictureItsWarmUpCounts) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source, 640, 360));
    uint32_t index = 0;
    auto deliver = [&] {
        test.now += 33'333'333;  // 30 pictures per second on the pipeline's clock
        source->deliver(noisePicture(640, 360, ++index), test.now);
    };
    // Without a viewer the main tier spends its whole bitrate, far above the probe rate a new viewer's build
    // gets: frame-rate-first adaptation reads that as a tier starved of bits.
    for (int i = 0; i < 60; ++i) {
        deliver();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    TestViewer viewer(test.port());
    ASSERT_TRUE(viewer.join(TestViewer::hello("VIEWER-3")));
    ASSERT_TRUE(test.waitForStatus([](const SenderStatus& s) {
        return s.clients.size() == 1 && s.clients[0].isMediaConnected && s.clients[0].candidateTier == 0;
    }));
    // Two more ticks: one of them planned with the viewer's media connected.
    ASSERT_TRUE(test.waitForStatus() && test.waitForStatus());

    // The viewer shows the proxy and builds the main tier up beside it: every picture should reach it on
    // both.
    std::set<uint64_t> mainPictures;
    const int pictures = 30;
    for (int i = 0; i < pictures; ++i) {
        deliver();
        const uint64_t captured = test.now;
        nextMatching<EncodedVideoFrame>(
            viewer,
            [&](const EncodedVideoFrame& frame) {
                if (frame.tier == 0) {
                    mainPictures.insert(frame.captureTime);
                }
                return frame.tier == 0 && frame.captureTime == captured;
            },
            std::chrono::milliseconds(500));
    }
    // A viewer takes a larger tier over after 12 of its pictures within half a second.
    EXPECT_GE(mainPictures.size(), size_t(pictures - 2));
}

TEST(SenderPipelineViewers, DisconnectAndStopSayWhy) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    const uint16_t port = test.port();
    TestViewer first(port);
    ASSERT_TRUE(first.join(TestViewer::hello("VIEWER-4")));
    auto connected = test.waitForStatus([](const SenderStatus& s) { return s.clients.size() == 1; });
    ASSERT_TRUE(connected);
    test.pipeline->disconnectClient(connected->clients.front().id);
    EXPECT_EQ(first.goodbyeReason(), "disconnected by sender");

    TestViewer second(port);
    ASSERT_TRUE(second.join(TestViewer::hello("VIEWER-5")));
    test.pipeline->stop();
    EXPECT_EQ(second.goodbyeReason(), "sender stopped");
}

TEST(SenderPipelineStatus, EngineRowsListDisabledEnginesToo) {
    PipelineUnderTest test(testSettings());
    test.pipeline->start();
    auto status = test.waitForStatus([](const SenderStatus& s) { return bool(s.controlPort); });
    ASSERT_TRUE(status);
    ASSERT_EQ(status->engines.size(), 2u);
    EXPECT_EQ(status->engines[0].kind, EngineKind::tcp());
    EXPECT_TRUE(status->engines[0].isEnabled);
    EXPECT_EQ(status->engines[1], (EngineStatus{EngineKind::quic(), false, true, "deaktiviert", 0}));
    EXPECT_TRUE(status->clients.empty());
    EXPECT_EQ(status->hevcHardwareAvailable, VideoEncoder::capabilities().hevcHardware);
}

TEST(SenderPipelineStatus, AnEnabledQuicEngineServesViewersThatAskForIt) {
    // The engine keeps its identity under the data folder: one of the test's own.
    test::TemporaryFolder folder;
    ScopedEnvironment dataHome("XDG_DATA_HOME", folder.path().string());
    SenderSettings settings = testSettings();
    settings.enabledEngines = {"tcp", "quic"};
    {
        PipelineUnderTest test(settings);
        test.pipeline->start();
        TestViewer viewer(test.port());
        auto welcome = viewer.join(TestViewer::hello("VIEWER-7", 4, true, EngineKind::quic()));
        ASSERT_TRUE(welcome);
        EXPECT_EQ(welcome->engine, EngineKind::quic());
        EXPECT_TRUE(welcome->engineParameters.count("quicPort"));
        auto status = test.waitForStatus([](const SenderStatus& s) { return s.clients.size() == 1; });
        ASSERT_TRUE(status);
        ASSERT_EQ(status->engines.size(), 2u);
        EXPECT_EQ(status->engines[1].kind, EngineKind::quic());
        EXPECT_EQ(status->engines[1].clientCount, 1);
    }
}

// An engine of any kind that only counts its starts; viewers never get it here.
class CountingEngine final : public StreamingEngine {
  public:
    explicit CountingEngine(EngineKind kind) : kind_(std::move(kind)) {}
    EngineKind kind() const override { return kind_; }
    bool isAvailable() const override { return true; }
    std::string statusDetail() const override { return "zusätzlich"; }
    void start(const std::shared_ptr<StreamingEngineContext>&) override { ++starts; }
    void stop() override {}
    std::map<std::string, std::string> engineParameters(const SenderSession&) override { return {}; }
    void attach(const std::shared_ptr<SenderSession>&) override {}
    void handleSignal(const EngineSignalMessage&, const std::shared_ptr<SenderSession>&) override {}
    std::atomic<int> starts{0};

  private:
    EngineKind kind_;
};

TEST(SenderPipelineStatus, EnginesChosenBeforeTheFirstStartRunAndAnExtraQuicJoinsTheBuiltInOne) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("kelvora-engines-" + std::to_string(getpid()));
    auto extra = std::make_shared<CountingEngine>(EngineKind::quic());
    {
        SenderPipeline::Options options;
        options.sources = std::make_shared<ScriptedSources>();
        options.applicationFolder = folder;
        options.announce = false;
        SenderSettings settings = testSettings();
        auto pipeline = SenderPipeline::create(settings, "ENGINES-TEST", {extra}, options);
        Eventually<SenderStatus> statuses;
        pipeline->setStatusHandler([&](SenderStatus status) { statuses.push(std::move(status)); });
        settings.enabledEngines = {"tcp", "quic"};
        pipeline->updateSettings(settings);
        pipeline->start();

        auto status = statuses.waitFor([](const SenderStatus& s) { return bool(s.controlPort); });
        ASSERT_TRUE(status);
        ASSERT_EQ(status->engines.size(), 3u);
        EXPECT_EQ(status->engines[1].kind, EngineKind::quic());
        EXPECT_TRUE(status->engines[1].isEnabled);
        EXPECT_NE(status->engines[1].detail, "deaktiviert");
        EXPECT_EQ(status->engines[2].detail, "zusätzlich");
        EXPECT_EQ(extra->starts.load(), 1);
        // The built-in engine comes first for a viewer that asks for QUIC.
        TestViewer viewer(*status->controlPort);
        auto welcome = viewer.join(TestViewer::hello("VIEWER-8", 4, true, EngineKind::quic()));
        ASSERT_TRUE(welcome);
        EXPECT_EQ(welcome->engine, EngineKind::quic());
        EXPECT_TRUE(welcome->engineParameters.count("quicPort"));

        pipeline->stop();
        pipeline->queue().sync([] {});
        pipeline->setStatusHandler({});
        pipeline->queue().sync([] {});
    }
    std::filesystem::remove_all(folder);
}

TEST(SenderPipelineStatus, TuningWithoutAPipelineIsThatOfDefaultSettings) {
    std::weak_ptr<SenderPipeline> gone;
    {
        PipelineUnderTest test(testSettings());
        gone = test.pipeline;
    }
    ASSERT_TRUE(gone.expired());
    StreamTuning expected = SenderSettings().streamTuning();
    expected.tiers.clear();
    EXPECT_EQ(SenderPipeline::serverCallbacks(gone).currentTuning(), expected);
}

CaptureDeviceInfo card(const std::string& id) {
    CaptureDeviceInfo info;
    info.id = id;
    info.name = "Karte";
    info.isExternal = true;
    return info;
}

// A pipeline on the capture device "karte-1", listed and known to the system.
struct CardPipeline : PipelineUnderTest {
    CardPipeline() : PipelineUnderTest(settings()) {
        sources->setKnown({"karte-1"});
        pipeline->start();
        pipeline->updateDevices({card("karte-1")});
    }
    static SenderSettings settings() {
        SenderSettings settings = testSettings();
        settings.useTestPattern = false;
        settings.preferredDeviceID = "karte-1";
        settings.autoStart = false;
        return settings;
    }
};

TEST(SenderPipelineDevices, ADeviceTheSystemNoLongerKnowsLeavesNoSourceNameOnTheNetwork) {
    CardPipeline test;
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source);
    TestViewer viewer(test.port());
    ASSERT_EQ(viewer.join(TestViewer::hello("VIEWER-6")).value().stream.sourceName, "Karte karte-1");

    // Still listed, but gone when the source is made anew.
    test.sources->setKnown({});
    test.pipeline->reconnectSource("Test");
    ASSERT_TRUE(nextMatching<StreamInfoMessage>(viewer, [](const StreamInfoMessage& info) {
        return info.state == StreamState::noSource && info.sourceName.empty();
    }));
    auto waiting = test.waitForStatus(stateIs(Kind::waitingForSource));
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->sourceName, "");
    EXPECT_EQ(waiting->sourceID, std::nullopt);
    EXPECT_TRUE(source->wasStopped());
}

TEST(SenderPipelineDevices, NamesThatAreNotUtf8ReachViewersRepaired) {
    SenderSettings settings = CardPipeline::settings();
    settings.senderName = "Halle \xFF";
    settings.preferredDeviceID = "karte-\xE9";
    PipelineUnderTest test(settings);
    test.sources->setKnown({"karte-\xE9"});
    test.pipeline->start();
    test.pipeline->updateDevices({card("karte-\xE9")});
    ASSERT_TRUE(test.sources->waitForSource(1));

    TestViewer viewer(test.port());
    auto welcome = viewer.join(TestViewer::hello("VIEWER-8"));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->senderName, "Halle \uFFFD");
    EXPECT_EQ(welcome->stream.sourceName, "Karte karte-\uFFFD");
    EXPECT_EQ(test.pipeline->settings().senderName, "Halle \uFFFD");
}

TEST(SenderPipelineDevices, AnUnlistedDeviceTheSystemStillHasKeepsRunning) {
    CardPipeline test;
    test.sources->setConnected({"karte-1"});
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source);
    test.pipeline->updateDevices({});
    test.pipeline->queue().sync([] {});
    EXPECT_TRUE(source->isRunning());

    // Really gone: stopped, and with automatic start off no other device is taken.
    test.sources->setConnected({});
    test.pipeline->updateDevices({card("usb-2")});
    ASSERT_TRUE(test.waitForStatus(stateIs(Kind::waitingForSource)));
    EXPECT_TRUE(source->wasStopped());
    EXPECT_EQ(test.sources->madeCount(), 1u);
}

TEST(SenderPipelineDevices, ABlackCaptureDeviceIsReportedAndReconnectedWithAGrowingHold) {
    CardPipeline test;
    test.recovery = true;
    auto first = test.sources->waitForSource(1);
    ASSERT_TRUE(first && test.deliverUntilLive(*first));
    // Black from 500 ms on (sampled every 500 ms), one picture per step so that it is never silent.
    const uint64_t start = test.now;
    auto blackUntil = [&](ScriptedSource& source, uint64_t from, uint64_t to) {
        for (uint64_t at = from; at <= to; at += 500) {
            test.now = start + at * kMs;
            source.deliver(nv12Picture(320, 180, 16), test.now);
        }
    };
    blackUntil(*first, 500, 3000);
    EXPECT_TRUE(test.waitForStatus([](const SenderStatus& s) { return s.sourceIsBlack; }));
    // 3500 ms of black is beyond the first hold of 3000 ms.
    blackUntil(*first, 3500, 4000);
    auto second = test.sources->waitForSource(2);
    ASSERT_TRUE(second);
    EXPECT_TRUE(first->wasStopped());

    // The hold has doubled: another 3500 ms of black is not enough, 6500 ms is.
    blackUntil(*second, 4500, 7500);
    waitForWatchdog(test);
    EXPECT_EQ(test.sources->madeCount(), 2u);
    blackUntil(*second, 8000, 10500);
    EXPECT_TRUE(test.sources->waitForSource(3));
}

TEST(SenderPipelineDevices, TheBlackFlagGoesWithTheSource) {
    struct Case {
        const char* what;
        std::function<void(PipelineUnderTest&)> act;
        Kind state;
    };
    const Case cases[] = {
        {"paused", [](PipelineUnderTest& test) { test.pipeline->setPaused(true); }, Kind::paused},
        {"unplugged", [](PipelineUnderTest& test) { test.pipeline->updateDevices({}); },
         Kind::waitingForSource},
    };
    for (const Case& c : cases) {
        CardPipeline test;
        auto source = test.sources->waitForSource(1);
        ASSERT_TRUE(source && test.deliverUntilLive(*source)) << c.what;
        for (uint64_t at = 500; at <= 3000; at += 500) {
            test.now += 500 * kMs;
            source->deliver(nv12Picture(320, 180, 16), test.now);
        }
        ASSERT_TRUE(test.waitForStatus([](const SenderStatus& s) { return s.sourceIsBlack; })) << c.what;
        c.act(test);
        auto after = test.waitForStatus(stateIs(c.state));
        ASSERT_TRUE(after) << c.what;
        EXPECT_FALSE(after->sourceIsBlack) << c.what;
        waitForWatchdog(test);
        EXPECT_FALSE(test.waitForStatus().value().sourceIsBlack) << c.what;
    }
}

TEST(SenderPipelineDevices, NoTierRunsWithoutASourceNotEvenAfterARename) {
    CardPipeline test;
    auto source = test.sources->waitForSource(1);
    ASSERT_TRUE(source && test.deliverUntilLive(*source));
    test.pipeline->updateDevices({});
    ASSERT_TRUE(test.waitForStatus(stateIs(Kind::waitingForSource)));

    SenderSettings renamed = CardPipeline::settings();
    renamed.senderName = "Umbenannt";
    test.pipeline->updateSettings(renamed);
    test.pipeline->queue().sync([] {});
    EXPECT_TRUE(test.waitForStatus().value().tiers.empty());
}

// The name of the DNS-SD instance, the announcement, the welcome and the log lines.
TEST(SenderPipelineName, ANameIsCleanedAsViewersCleanTheNamesTheyAreGiven) {
    const struct {
        const char* settings;
        const char* announced;
    } cases[] = {
        {"Bühne\nlinks\tA", "Bühne links A"},
        {" \tKamera\r\n2\n", "Kamera 2"},
        {"Halle\x1b[2J \xFF", "Halle\uFFFD[2J \uFFFD"},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        settings.senderName = c.settings;
        EXPECT_EQ(SenderPipeline::displayName(settings), c.announced);
    }
}

}  // namespace
}  // namespace kelvora
