#include <gtest/gtest.h>

#include <QSignalSpy>

#include "ModelFakes.h"
#include "support/ProcessUntil.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

SenderStatus statusWith(SenderStatus::State state, std::string source = "Kamera") {
    SenderStatus status;
    status.state = std::move(state);
    status.sourceName = std::move(source);
    return status;
}

}  // namespace

TEST(SenderController, ConstructionReadsTheDefaultsAndKeepsTheSenderID) {
    ModelHarness h;
    h.defaults->set("SimpleStreamBitrateKbps", "9000");
    SenderController& first = h.make();
    EXPECT_EQ(first.simpleStreamBitrateKbps(), 8000);
    EXPECT_TRUE(first.isDeveloperMode());
    EXPECT_TRUE(first.showsOnboarding());
    EXPECT_TRUE(first.isMainPreviewVisible());
    EXPECT_EQ(first.senderID().size(), 36u);
    EXPECT_EQ(h.mainPipeline().senderID, first.senderID());
    const std::string id = first.senderID();
    first.finishOnboarding();
    h.controller.reset();
    SenderController& second = h.make();
    EXPECT_EQ(second.senderID(), id);
    EXPECT_FALSE(second.showsOnboarding());
}

TEST(SenderController, AStoredSenderIDNoUUIDWriterMadeIsReplaced) {
    for (const std::string& stored : std::vector<std::string>{"", "a b", std::string(65, 'A'), "ID\n"}) {
        ModelHarness h;
        h.defaults->set("SenderID", stored);
        const std::string id = h.make().senderID();
        EXPECT_EQ(id.size(), 36u);
        h.controller->flushSettings();
        EXPECT_EQ(h.defaults->string("SenderID"), id);
    }
}

TEST(SenderController, MainPreviewsGetFramesOnlyWhileVisible) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    const auto deliver = [&](uint64_t ms) {
        h.mainPipeline().previewHandler(
            SourceFrame{PixelBuffer::make(PixelFormat::bgra, 16, 16), ms * 1'000'000, false});
    };
    c.setMainPreviewVisible(false);
    deliver(1000);
    c.setMenuPreviewVisible(true);
    deliver(1030);
    c.setMainPreviewVisible(true);
    deliver(1035);
    EXPECT_EQ(h.preview(0)->submitted(), 1u);
    EXPECT_EQ(h.preview(1)->submitted(), 1u);
}

TEST(SenderController, SystemPaneActionsExplainInstead) {
    ModelHarness h;
    SenderController& c = h.make();
    c.openCameraPrivacySettings();
    c.showDeckLinkSetup();
    ASSERT_EQ(h.alerts->shown.size(), 2u);
    EXPECT_NE(h.alerts->shown[0].informativeText.find("„video“"), std::string::npos);
    EXPECT_EQ(h.alerts->shown[1].message, "DeckLink/UltraStudio einrichten");
    // Capture here is from video devices only, which the vendor's driver does not make.
    EXPECT_NE(h.alerts->shown[1].informativeText.find("nicht als Quelle angeboten"), std::string::npos);
}

TEST(SenderController, AnEqualSettingsWriteIsSilentAndADifferentOneSavesAppliesAndNotifies) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    QSignalSpy changed(&c, &SenderController::settingsChanged);
    c.setSettings(c.settings());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(h.mainPipeline().updates.size(), 0u);
    EXPECT_FALSE(h.storedSettings());

    edit(c, [](SenderSettings& s) { s.senderName = "Bühne"; });
    EXPECT_EQ(changed.count(), 1);
    ASSERT_EQ(h.mainPipeline().updates.size(), 1u);
    EXPECT_EQ(h.mainPipeline().updates[0].senderName, "Bühne");
    EXPECT_EQ(h.storedSettings()->senderName, "Bühne");
}

TEST(SenderController, SourceChoicesWriteTheirFieldsOneAtATimeAndResume) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    edit(c, [](SenderSettings& s) {
        s.useTestPattern = true;
        s.useVideoFile = true;
        s.preferredDeviceID = "cam-0";
    });
    c.togglePause();
    h.mainPipeline().updates.clear();
    c.selectDevice(std::nullopt);
    const auto& u = h.mainPipeline().updates;
    ASSERT_EQ(u.size(), 3u);
    EXPECT_TRUE(!u[0].useTestPattern && u[0].useVideoFile && u[0].preferredDeviceID);
    EXPECT_TRUE(!u[1].useVideoFile && u[1].preferredDeviceID);
    EXPECT_FALSE(u[2].preferredDeviceID);
    EXPECT_FALSE(c.isPaused());

    h.mainPipeline().updates.clear();
    c.useVideoFile("/media/clip.final.mov");
    c.selectDevice("cam-1");
    c.useVideoFile("/media/clip.final.mov");
    EXPECT_EQ(c.settings().preferredDeviceID, "cam-1");
    EXPECT_EQ(c.videoFileDisplayName(), "clip.final");
    EXPECT_FALSE(c.isUsingSampleVideo());

    h.picker->answer = std::nullopt;
    c.chooseVideoFile();
    EXPECT_EQ(h.picker->requests.at(0).title, "Videodatei zum Senden wählen");
    EXPECT_EQ(c.settings().videoFilePath, "/media/clip.final.mov");
}

TEST(SenderController, SampleVideoIsGeneratedOnceAndFailuresShowTheirText) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    h.sample->fails = true;
    c.useSampleVideo();
    c.useSampleVideo();
    QSignalSpy done(&c, &SenderController::isPreparingSampleVideoChanged);
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(h.sample->generations, 1);
    EXPECT_EQ(c.sampleVideoError(), QString("Das Beispielvideo konnte nicht erzeugt werden."));

    h.sample->fails = false;
    c.useSampleVideo();
    EXPECT_TRUE(c.sampleVideoError().isEmpty());
    ASSERT_TRUE(done.wait(10000));
    EXPECT_TRUE(c.isUsingSampleVideo());
    EXPECT_EQ(c.videoFileDisplayName(), "Beispielvideo");
}

TEST(SenderController, PauseFlagsCombinePerOutputAndClearOnlyTheirPreviews) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.addOutput();
    FakePipeline& main = h.mainPipeline();
    FakePipeline& extra = *h.extraPipelines().at(0);
    auto mainPreview = h.preview(0);
    auto menuPreview = h.preview(1);
    auto extraPreview = h.preview(2);

    c.toggleMainSourcePause();
    EXPECT_TRUE(main.isPaused());
    EXPECT_EQ(mainPreview->cleared(), 1u);
    c.togglePause();
    EXPECT_TRUE(main.isPaused());
    EXPECT_TRUE(extra.isPaused());
    EXPECT_EQ(extraPreview->cleared(), 0u);
    c.togglePause();
    EXPECT_TRUE(main.isPaused());  // the main source stays paused on its own
    EXPECT_FALSE(extra.isPaused());
    EXPECT_EQ(mainPreview->cleared(), 2u);
    EXPECT_EQ(menuPreview->cleared(), 2u);
    c.toggleMainSourcePause();
    EXPECT_FALSE(main.isPaused());

    const std::string id = c.extraOutputs().at(0)->id();
    c.toggleOutputPause(id);
    EXPECT_TRUE(extra.isPaused());
    EXPECT_EQ(extraPreview->cleared(), 1u);
    c.togglePause();
    c.togglePause();
    EXPECT_TRUE(extra.isPaused());
}

TEST(SenderController, LeavingDeveloperModeReturnsToTheDeviceAndTurnsTheComparisonOff) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.selectDevice("cam-1");
    c.selectTestPattern();
    c.addOutput();
    c.setOutputSource(c.settings().extraOutputs[0].id, "testpattern");
    c.setShowsTierComparison(true);
    c.togglePause();

    c.setDeveloperMode(false);
    EXPECT_FALSE(c.settings().useTestPattern);
    EXPECT_EQ(c.settings().preferredDeviceID, "cam-1");
    EXPECT_EQ(c.settings().extraOutputs[0].sourceID, std::nullopt);
    EXPECT_FALSE(c.showsTierComparison());
    EXPECT_FALSE(c.tierMonitor()->isEnabled());
    EXPECT_FALSE(c.isPaused());
    c.flushSettings();
    EXPECT_EQ(h.defaults->boolValue(kDeveloperModeKey), false);
}

TEST(SenderController, DeveloperModeFollowsItsDefaultWrittenElsewhere) {
    ModelHarness h;
    SenderController& c = h.make();
    QSignalSpy spy(&c, &SenderController::isDeveloperModeChanged);
    UserDefaults other("app.kelvora.sender", h.root);
    other.set(kDeveloperModeKey, false);
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_FALSE(c.isDeveloperMode());
    other.set(kDeveloperModeKey, false);
    h.settle();
    EXPECT_EQ(spy.count(), 1);
}

TEST(SenderController, LoginItemIsRegisteredOnTheFirstLaunchOnly) {
    ModelHarness h;
    h.loginItem->afterRegister = LoginItemStatus::requiresApproval;
    SenderController& c = h.make();
    c.configureLoginItemOnce();
    EXPECT_TRUE(c.launchAtLogin());
    EXPECT_TRUE(c.loginItemNeedsApproval());
    c.setLaunchAtLogin(false);
    EXPECT_FALSE(c.launchAtLogin());
    c.configureLoginItemOnce();
    EXPECT_EQ(h.loginItem->registrations, 1);
    h.loginItem->fails = true;
    c.setLaunchAtLogin(true);
    EXPECT_FALSE(c.launchAtLogin());
}

TEST(SenderController, GrantedCameraAccessResendsTheDevicesToEveryOutput) {
    for (const bool granted : {true, false}) {
        ModelHarness h;
        h.camera->current = CameraAuthorization::notDetermined;
        SenderController& c = h.make();
        c.start();
        c.addOutput();
        ASSERT_TRUE(h.camera->pending);
        h.camera->current = granted ? CameraAuthorization::authorized : CameraAuthorization::denied;
        const auto mainBefore = h.mainPipeline().deviceUpdates.size();
        const auto extraBefore = h.extraPipelines()[0]->deviceUpdates.size();
        h.camera->pending(granted);
        h.settle();
        EXPECT_EQ(c.cameraAuthorization(), h.camera->current);
        EXPECT_EQ(h.mainPipeline().deviceUpdates.size(), mainBefore + granted);
        EXPECT_EQ(h.extraPipelines()[0]->deviceUpdates.size(), extraBefore + granted);
    }
}

TEST(SenderController, DeviceChangesReachTheMainAndEveryExtraPipeline) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.addOutput();
    c.addOutput();
    CaptureDeviceInfo camera;
    camera.id = "cam";
    camera.name = "Cam Link 4K";
    h.deviceList->handler({camera});
    h.settle();
    ASSERT_EQ(c.devices().size(), 1u);
    EXPECT_EQ(h.mainPipeline().deviceUpdates.back(), c.devices());
    for (const auto& extra : h.extraPipelines()) {
        ASSERT_FALSE(extra->deviceUpdates.empty());
        EXPECT_EQ(extra->deviceUpdates.back(), c.devices());
    }
}

TEST(SenderController, SimpleStreamOnABusyPortKeepsTheWishAndTriesAgain) {
    ModelHarness h;
    h.portBusy = true;
    SenderController& c = h.make();
    c.start();
    c.setSimpleStreamEnabled(true);
    EXPECT_TRUE(c.simpleStreamEnabled());
    EXPECT_FALSE(c.simpleStreamError().isEmpty());
    EXPECT_FALSE(h.mainPipeline().simpleStream);

    h.portBusy = false;
    c.setSimpleStreamEnabled(false);
    EXPECT_TRUE(c.simpleStreamError().isEmpty());
    c.setSimpleStreamEnabled(true);
    c.setSimpleStreamEnabled(true);
    ASSERT_EQ(h.streams.size(), 2u);
    EXPECT_EQ(h.streams[1]->name, "Regie-PC (H.264 einfach)");
    EXPECT_EQ(h.mainPipeline().simpleStream, h.streams[1]);

    h.streams[1]->clientCount(2);
    h.settle();
    EXPECT_EQ(c.simpleStreamClients(), 2);
    c.setSimpleStreamEnabled(false);
    EXPECT_EQ(c.simpleStreamClients(), 0);
    EXPECT_FALSE(h.streams[1]->running);
    c.flushSettings();
    EXPECT_EQ(h.defaults->boolValue("SimpleStreamEnabled"), false);
}

// A stored bitrate the slider cannot reach reads as missing; one written is clamped.
TEST(SenderController, SimpleStreamBitrateOutOfRangeReadsAsMissingAndIsClampedWhenWrittenAndPassedOn) {
    const struct {
        int64_t value;
        int read;
        int expected;
    } cases[] = {{999, 8000, 1000},    {1000, 1000, 1000}, {30000, 30000, 30000},
                 {30001, 8000, 30000}, {-5, 8000, 1000},   {int64_t(1) << 40, 8000, 30000}};
    for (const auto& c : cases) {
        ModelHarness h;
        h.defaults->set("SimpleStreamBitrateKbps", c.value);
        SenderController& controller = h.make();
        EXPECT_EQ(controller.simpleStreamBitrateKbps(), c.read) << c.value;
        controller.start();
        controller.setSimpleStreamEnabled(true);
        controller.setSimpleStreamBitrateKbps(
            static_cast<int>(std::clamp<int64_t>(c.value, INT32_MIN, INT32_MAX)));
        controller.flushSettings();
        EXPECT_EQ(h.defaults->integer("SimpleStreamBitrateKbps"), c.expected) << c.value;
        // The running encoder gets the clamped value too.
        EXPECT_EQ(h.streams.at(0)->bitrates, std::vector<int>{c.expected}) << c.value;
    }
}

TEST(SenderController, StatusTextsFollowTheTable) {
    const struct {
        SenderStatus::State state;
        bool paused;
        bool mainPaused;
        CameraAuthorization camera;
        const char* title;
        const char* detail;
    } cases[] = {
        {SenderStatus::State::waitingForSource(), false, false, CameraAuthorization::notDetermined,
         "Kein Videoeingang", "Capture-Karte oder Kamera anschließen"},
        {SenderStatus::State::waitingForSource(), false, false, CameraAuthorization::restricted,
         "Kein Videoeingang", "Kamerazugriff nicht erlaubt"},
        {SenderStatus::State::starting(), false, false, CameraAuthorization::authorized, "Startet …",
         "Kamera"},
        {SenderStatus::State::noSignal(), false, false, CameraAuthorization::authorized, "Kein Signal",
         "Kamera"},
        {SenderStatus::State::live(), false, true, CameraAuthorization::authorized, "Pausiert", "Kamera"},
        {SenderStatus::State::paused(), false, false, CameraAuthorization::authorized, "Pausiert",
         "Stream angehalten"},
        {SenderStatus::State::error("Gerät fehlt"), false, false, CameraAuthorization::denied, "Fehler",
         "Gerät fehlt"},
        {SenderStatus::State::error("x"), true, false, CameraAuthorization::denied, "Pausiert", "x"},
    };
    for (const auto& c : cases) {
        const SenderStatus status = statusWith(c.state);
        EXPECT_EQ(statusTitle(status, c.paused, c.mainPaused), c.title);
        EXPECT_EQ(statusDetail(status, c.camera), c.detail);
    }
    FakeHost host;
    EXPECT_EQ(displayName(" \tStudio A\n ", host), "Studio A\n");
    EXPECT_EQ(displayName(" \t ", host), "Regie-PC");
}

TEST(SenderController, StatusesHopToTheMainThreadAndFeedTheComparisonOnlyWhileOn) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    QSignalSpy spy(&c, &SenderController::statusChanged);
    std::thread([&] { h.mainPipeline().statusHandler(statusWith(SenderStatus::State::live())); }).join();
    h.settle();
    EXPECT_EQ(c.statusTitle(), "Live");
    h.mainPipeline().statusHandler(statusWith(SenderStatus::State::live()));
    h.settle();
    EXPECT_EQ(spy.count(), 1);

    // While on, the main output's encoded frames reach the monitor and each status brings its figures along.
    c.setShowsTierComparison(true);
    h.mainPipeline().encodedFrameHandler(
        EncodedVideoFrame::make(VideoCodec::h264, EncodedVideoFrame::Flags::keyframe, 1, 0, std::nullopt, 0,
                                5'000'000, VideoDimensions{640, 360}, 1000, {}, {}));
    ASSERT_TRUE(processUntil([&] { return !c.tierMonitor()->tierInfos().empty(); }));
    h.mainPipeline().statusHandler(statusWith(SenderStatus::State::live()));
    h.settle();
    ASSERT_EQ(c.tierInfos().size(), 1u);
    EXPECT_EQ(c.tierInfos()[0].tier, 1);
    EXPECT_EQ(c.tierInfos()[0].dimensions, (VideoDimensions{640, 360}));

    c.setShowsTierComparison(false);
    EXPECT_TRUE(c.tierInfos().empty());
    QSignalSpy tiers(&c, &SenderController::tierInfosChanged);
    h.mainPipeline().statusHandler(statusWith(SenderStatus::State::starting()));
    h.settle();
    EXPECT_TRUE(c.tierInfos().empty());
    EXPECT_EQ(tiers.count(), 0);
}

TEST(SenderController, ViewerTuningChangesTheMainSettingsOnlyWhenAllowed) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.addOutput();
    StreamTuning tuning = c.settings().streamTuning();
    tuning.proxyKbps = 1200;
    edit(c, [](SenderSettings& s) { s.remoteTuningAllowed = false; });
    h.extraPipelines()[0]->tuningHandler(tuning);
    h.settle();
    EXPECT_EQ(c.settings().proxyBitrateKbps, 1500);
    edit(c, [](SenderSettings& s) { s.remoteTuningAllowed = true; });
    h.extraPipelines()[0]->tuningHandler(tuning);
    h.settle();
    EXPECT_EQ(c.settings().proxyBitrateKbps, 1200);
}

TEST(SenderController, StopEndsEverythingAndNothingStartsAfterwards) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.setSimpleStreamEnabled(true);
    c.addOutput();
    auto statusHandler = h.mainPipeline().statusHandler;
    c.stop();
    EXPECT_EQ(h.mainPipeline().calls.back(), "stop");
    EXPECT_EQ(h.extraPipelines()[0]->calls.back(), "stop");
    EXPECT_EQ(h.preview(2)->cleared(), 1u);
    EXPECT_FALSE(h.streams[0]->running);
    EXPECT_TRUE(h.deviceList->stopped);
    EXPECT_TRUE(h.ndiList->stopped);

    const auto pipelines = h.pipelines.size();
    const auto mainCalls = h.mainPipeline().calls.size();
    statusHandler(statusWith(SenderStatus::State::live()));
    c.addOutput();
    c.setSimpleStreamEnabled(false);
    c.setSimpleStreamEnabled(true);
    c.togglePause();
    h.settle();
    EXPECT_EQ(h.pipelines.size(), pipelines);
    EXPECT_EQ(h.mainPipeline().calls.size(), mainCalls);
    EXPECT_EQ(h.streams.size(), 1u);
    EXPECT_NE(c.statusTitle(), "Live");
    // The settings are still kept.
    EXPECT_EQ(h.storedSettings()->extraOutputs.size(), 2u);
}

TEST(SenderController, StopWithoutStartIsSafe) {
    ModelHarness h;
    SenderController& c = h.make();
    c.stop();
    c.stop();
    EXPECT_EQ(h.mainPipeline().calls, std::vector<std::string>{"stop"});
}
