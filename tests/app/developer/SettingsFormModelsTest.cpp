#include "app/developer/SenderNameField.h"
#include "app/developer/SettingsFormModels.h"

#include <QSignalSpy>
#include <fstream>

#include <gtest/gtest.h>

#include "app/model/ModelFakes.h"

namespace kelvora {
namespace {

using testing::ModelHarness;

// A started controller on fakes with every inspector section over it and the status a pipeline reported.
struct Inspector {
    Inspector() {
        SenderController& c = harness.make();
        c.start();
        SenderStatus status;
        status.hevcHardwareAvailable = false;
        status.controlPort = 47811;
        status.networkError = "Port 47811 belegt";
        status.engines = {{EngineKind::tcp(), true, true, "Port 47811", 2},
                          {EngineKind::quic(), true, true, "Port 47811/udp", 0}};
        harness.mainPipeline().statusHandler(status);
        harness.settle();
        for (SettingsFormModel* section :
             std::initializer_list<SettingsFormModel*>{&source, &picture, &general, &developer, &info}) {
            section->setControllerObject(&c);
        }
        source.setDefaults(*harness.defaults);
        name.setControllerObject(&c);
    }
    SenderController& controller() { return *harness.controller; }
    void edit(void (*change)(SenderSettings&)) { testing::edit(controller(), change); }

    ModelHarness harness;
    SourceChoiceFormModel source;
    PictureFormModel picture;
    GeneralFormModel general;
    DeveloperFormModel developer;
    InfoFormModel info;
    SenderNameField name;
};

TEST(SettingsFormModels, EachEditWritesOnceOrFlagThenValueAndNothingOutsideTheOptions) {
    struct Case {
        const char* name;
        void (*before)(SenderSettings&);
        void (*act)(Inspector&);
        int writes;
        bool (*holds)(const SenderSettings&);
    };
    const auto none = [](SenderSettings&) {};
    const Case cases[] = {
        {"720p from automatic", none, [](Inspector& i) { i.picture.chooseResolution(1); }, 2,
         [](const SenderSettings& s) {
             return !s.autoResolution && s.resolution == VideoDimensions::hd720();
         }},
        {"as source keeps the size",
         [](SenderSettings& s) {
             s.autoResolution = false;
             s.resolution = {640, 480};
         },
         [](Inspector& i) { i.picture.chooseResolution(0); }, 1,
         [](const SenderSettings& s) {
             return s.autoResolution && s.resolution == VideoDimensions{640, 480};
         }},
        {"60 fps from a stored 24",
         [](SenderSettings& s) {
             s.autoFrameRate = false;
             s.frameRate = 24;
         },
         [](Inspector& i) { i.picture.chooseFrameRate(4); }, 1,
         [](const SenderSettings& s) { return s.frameRate == 60; }},
        {"limit 25", none, [](Inspector& i) { i.picture.chooseMaximumFrameRate(1); }, 1,
         [](const SenderSettings& s) { return s.maximumFrameRate == 25; }},
        {"no option", none,
         [](Inspector& i) {
             i.picture.chooseFrameRate(-1);
             i.picture.chooseResolution(4);
             i.picture.chooseQuality(2);
             i.developer.chooseKeyframeInterval(3);
             i.developer.chooseStudioBitrate(-1);
         },
         0, [](const SenderSettings& s) { return s.autoFrameRate && s.keyframeInterval == 2.0; }},
        {"codec without HEVC hardware", [](SenderSettings& s) { s.preferredCodec = VideoCodec::h264; },
         [](Inspector& i) { i.picture.chooseCodec(0); }, 0,
         [](const SenderSettings& s) { return s.preferredCodec == VideoCodec::h264; }},
        {"studio", none, [](Inspector& i) { i.picture.chooseQuality(1); }, 1,
         [](const SenderSettings& s) { return s.studioMode; }},
        {"auto start", none, [](Inspector& i) { i.general.setAutoStart(false); }, 1,
         [](const SenderSettings& s) { return !s.autoStart; }},
        {"studio bitrate", [](SenderSettings& s) { s.studioBitrateKbps = 100000; },
         [](Inspector& i) { i.developer.chooseStudioBitrate(2); }, 1,
         [](const SenderSettings& s) { return s.studioBitrateKbps == 150000; }},
        {"bitrate beyond the stepper", none, [](Inspector& i) { i.developer.chooseBitrate(50000); }, 1,
         [](const SenderSettings& s) { return s.bitrateKbps == 40000; }},
        {"proxy standby", none, [](Inspector& i) { i.developer.setHotStandbyProxy(false); }, 1,
         [](const SenderSettings& s) { return !s.hotStandbyProxy; }},
        {"tcp cannot be switched", none, [](Inspector& i) { i.developer.setEngine(0, false); }, 0,
         [](const SenderSettings& s) { return s.enabledEngines.size() == 2; }},
        {"quic off", none, [](Inspector& i) { i.developer.setEngine(1, false); }, 1,
         [](const SenderSettings& s) { return s.enabledEngines == std::vector<std::string>{"tcp"}; }},
    };
    for (const auto& c : cases) {
        Inspector inspector;
        inspector.edit(c.before);
        QSignalSpy writes(&inspector.controller(), &SenderController::settingsChanged);
        c.act(inspector);
        EXPECT_EQ(writes.count(), c.writes) << c.name;
        EXPECT_TRUE(c.holds(inspector.controller().settings())) << c.name;
    }
}

TEST(SettingsFormModels, StoredValuesOutsideThePickersSelectNothingAndStayStored) {
    Inspector i;
    i.edit([](SenderSettings& s) {
        s.autoFrameRate = false;
        s.frameRate = 24;
        s.maximumFrameRate = 50;
        s.keyframeInterval = 3.0;
    });
    QSignalSpy writes(&i.controller(), &SenderController::settingsChanged);
    EXPECT_EQ(i.picture.frameRateIndex(), -1);
    EXPECT_EQ(i.picture.maximumFrameRateIndex(), -1);
    EXPECT_EQ(i.developer.keyframeIntervalIndex(), -1);
    EXPECT_EQ(writes.count(), 0);
    EXPECT_EQ(i.harness.storedSettings()->frameRate, 24);
}

TEST(SettingsFormModels, SourceRowsCallTheControllersSourceOperations) {
    Inspector i;
    const auto file = i.harness.root / "Konzert.mp4";
    i.edit([](SenderSettings& s) { s.preferredDeviceID = "ndi:"; });
    EXPECT_EQ(i.source.rows().at(1).toMap()["text"].toString(), "NDI®:  (nicht im Netz)");
    i.source.choose(1);
    EXPECT_EQ(i.controller().settings().preferredDeviceID, "ndi:");

    i.edit([](SenderSettings& s) { s.videoFilePath = "/no/such/file.mov"; });
    i.source.choose(4);  // the video-file row of a file that has gone: the picker opens instead
    EXPECT_EQ(i.harness.picker->requests.size(), 1u);
    EXPECT_FALSE(i.controller().settings().useVideoFile);

    std::ofstream(file) << "x";
    i.edit([](SenderSettings& s) { s.videoFilePath = "placeholder"; });
    SenderSettings withFile = i.controller().settings();
    withFile.videoFilePath = file.string();
    i.controller().setSettings(withFile);
    i.source.choose(4);
    EXPECT_EQ(i.harness.picker->requests.size(), 1u);
    EXPECT_TRUE(i.controller().settings().useVideoFile);
    EXPECT_EQ(i.source.rows().at(4).toMap()["text"].toString(), "Videodatei: Konzert");
    EXPECT_TRUE(i.source.showsOtherFileButton());

    i.source.choose(0);
    EXPECT_EQ(i.controller().settings().preferredDeviceID, std::nullopt);
    EXPECT_FALSE(i.controller().settings().useVideoFile);
    i.source.reconnect();
    EXPECT_EQ(i.harness.mainPipeline().calls.back(), "reconnect");
}

// The sample video's file stays stored after it has played (and after it was ended); "Videodatei …" then
// still leads to a file of the person's own choosing.
TEST(SettingsFormModels, VideoFileRowAfterTheSampleVideoOpensTheChooser) {
    for (const bool endedFirst : {false, true}) {
        Inspector i;
        i.harness.sample->file = i.harness.root / "Beispielvideo.mov";
        std::ofstream(i.harness.sample->file) << "x";
        i.harness.sample->present = true;
        i.source.choose(2);  // "Beispielvideo"
        ASSERT_TRUE(i.controller().isUsingSampleVideo());
        if (endedFirst) {
            i.controller().selectDevice(std::nullopt);
        }
        const QVariantMap row = i.source.rows().at(3).toMap();
        ASSERT_EQ(row["text"].toString(), "Videodatei …");
        const auto own = i.harness.root / "Konzert.mp4";
        i.harness.picker->answer = own;
        i.source.choose(3);
        EXPECT_EQ(i.harness.picker->requests.size(), 1u) << "ended first: " << endedFirst;
        EXPECT_EQ(i.controller().settings().videoFilePath, own.string()) << "ended first: " << endedFirst;
        EXPECT_TRUE(i.controller().settings().useVideoFile);
    }
}

TEST(SettingsFormModels, RetryPromiseFollowsTheRecoveryDefault) {
    Inspector i;
    EXPECT_FALSE(i.source.reconnectHelp().contains("selbst"));
    QSignalSpy changed(&i.source, &SettingsFormModel::changed);
    UserDefaults other("app.kelvora.sender", i.harness.root);
    other.set("AutoSourceRecovery", true);
    ASSERT_TRUE(changed.wait(10000));
    EXPECT_TRUE(i.source.reconnectHelp().contains("versucht die App das auch selbst"));
}

TEST(SettingsFormModels, InfoShowsPortAddressesAndTheNetworkError) {
    Inspector i;
    i.info.setAddressSource([] { return std::vector<std::string>{"192.168.1.5"}; });
    EXPECT_EQ(i.info.controlPort(), "47811");
    EXPECT_EQ(i.info.addresses(), QStringList{"192.168.1.5:47811"});
    EXPECT_EQ(i.info.hevcHardware(), "Nein");
    EXPECT_EQ(i.info.networkError(), "Port 47811 belegt");
    i.harness.mainPipeline().statusHandler(SenderStatus{});
    i.harness.settle();
    EXPECT_EQ(i.info.networkError(), "");
    EXPECT_EQ(i.info.addresses(), QStringList{"192.168.1.5"});
}

TEST(SettingsFormModels, LoginSwitchShowsWhatTheControllerReadBack) {
    Inspector i;
    i.harness.loginItem->afterRegister = LoginItemStatus::requiresApproval;
    i.general.setLaunchAtLogin(true);
    EXPECT_TRUE(i.general.launchAtLogin());
    EXPECT_TRUE(i.general.needsApproval());
    i.general.openLoginItemSettings();
    EXPECT_EQ(i.harness.alerts->shown.size(), 1u);

    i.general.setLaunchAtLogin(false);
    i.harness.loginItem->fails = true;
    i.general.setLaunchAtLogin(true);
    EXPECT_FALSE(i.general.launchAtLogin());
}

// Once it has handed on what was typed, a field is untouched again: a rename made elsewhere shows in it.
TEST(NameEdit, AfterHandingOnItFollowsTheStoredNameAgain) {
    NameEdit edit;
    QStringList written;
    // The store keeps the name trimmed and reports it back while the write runs.
    QObject::connect(&edit, &NameEdit::committed, [&](const QString& name) {
        written << name;
        edit.setStored(name.trimmed());
    });
    edit.setStored("Regie");
    edit.setText(" Bühne ");
    edit.setStored("Studio");  // renamed elsewhere while typing: the typed text stays
    EXPECT_EQ(edit.text(), " Bühne ");
    edit.commit();
    EXPECT_EQ(written, QStringList{" Bühne "});
    EXPECT_EQ(edit.text(), " Bühne ");
    EXPECT_FALSE(edit.edited());

    edit.setStored("Saal");
    EXPECT_EQ(edit.text(), "Saal");
    edit.commit();
    EXPECT_EQ(written.size(), 1) << "nothing typed since: nothing handed on";
}

TEST(SenderNameField, CommitsTrimmedOnlyWhenChangedAndKeepsTheTypedText) {
    Inspector i;
    SenderNameField& field = i.name;
    EXPECT_EQ(field.placeholder(), "Regie-PC");
    QSignalSpy writes(&i.controller(), &SenderController::settingsChanged);

    field.setFocused(true);
    field.setText(" Bühne 2 ");
    EXPECT_EQ(writes.count(), 0) << "typing writes nothing";
    field.commit();  // Return
    EXPECT_EQ(i.controller().settings().senderName, "Bühne 2");
    EXPECT_EQ(field.text(), " Bühne 2 ");
    field.setFocused(false);  // then leaving the field: equal, no second write
    EXPECT_EQ(writes.count(), 1);
    i.edit([](SenderSettings& s) { s.senderName = "Saal"; });  // renamed elsewhere afterwards
    EXPECT_EQ(field.text(), "Saal");

    field.setFocused(true);
    field.setText("   ");
    field.setFocused(false);
    EXPECT_EQ(i.controller().settings().senderName, "");
    EXPECT_EQ(i.controller().displayName(), "Regie-PC");
    field.load();
    EXPECT_EQ(field.text(), "");
}

// A second field that nobody typed into follows the name and never writes its old text back.
TEST(SenderNameField, AWayOutCommitsOnlyWhatWasTypedAndUntouchedFieldsFollow) {
    Inspector i;
    SenderNameField other;
    other.setControllerObject(&i.controller());
    i.name.setFocused(true);
    i.name.setText("Studio A");
    NameEdit::commitPending();
    EXPECT_EQ(i.controller().settings().senderName, "Studio A");
    EXPECT_EQ(i.harness.storedSettings()->senderName, "Studio A");
    EXPECT_EQ(other.text(), "Studio A");
}

}  // namespace
}  // namespace kelvora
