#include <QDir>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "app/developer/SettingsFormModels.h"
#include "app/model/ModelFakes.h"
#include "receiver/session/views/UiEngine.h"
#include "support/QtWarnings.h"

namespace kelvora {
namespace {

// The inspector on a controller on fakes: a remembered capture card that is unplugged, a frame rate no
// option offers, a manual bitrate above the stepper's range, and a status with viewers on TCP.
class InspectorScene : public ::testing::Test {
  protected:
    InspectorScene() {
        SenderController& c = harness.make();
        c.start();
        testing::edit(c, [](SenderSettings& s) {
            s.preferredDeviceID = "usb-decklink";
            s.autoFrameRate = false;
            s.frameRate = 24;
            s.automaticBitrate = false;
            s.bitrateKbps = 41000;
        });
        harness.deviceList->handler(
            {{"usb-1", "Cam Link 4K", "Elgato", true, CaptureDeviceInfo::Connection::usb}});
        TierStatus tier;
        tier.bitrateKbps = 8500;
        SenderStatus status;
        status.state = SenderStatus::State::live();
        status.dimensions = VideoDimensions::hd720();
        status.configuredFrameRate = 24;
        status.hevcHardwareAvailable = false;
        status.controlPort = 47810;
        status.networkError = "Port 47812 belegt";
        status.tiers = {tier};
        status.engines = {{EngineKind::tcp(), true, true, "Port 47810", 2},
                          {EngineKind::quic(), true, false, "kein UDP-Port frei", 0}};
        harness.mainPipeline().statusHandler(status);
        harness.settle();

        prepareUiEngine(*view.engine());
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(380, 2000);
        view.setInitialProperties({{"controller", QVariant::fromValue<QObject*>(&c)}});
        view.setSource(QUrl("qrc:/qt/qml/Kelvora/Developer/InspectorView.qml"));
        for (const QQmlError& error : view.errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view.show();
    }

    QQuickItem* item(const char* name, QQuickItem* within = nullptr) {
        QQuickItem* found = testing::findItem(within ? within : view.rootObject(), name);
        if (!found) {
            ADD_FAILURE() << name;
            static QQuickItem missing;
            return &missing;
        }
        return found;
    }
    QString text(const char* name) { return item(name)->property("text").toString(); }
    QString rowValue(const char* row) { return item("value", item(row))->property("text").toString(); }
    // A segmented choice's segments as they show, the selected one in brackets.
    std::string segments(const char* name) {
        QStringList texts;
        QQuickItem* control = item(name);
        for (int i = 0; QQuickItem* segment = testing::findItem(control, QString("segment%1").arg(i)); ++i) {
            const QString text = segment->isVisible() ? segment->property("text").toString() : "<hidden>";
            texts << (segment->property("checked").toBool() ? "[" + text + "]" : text);
        }
        return texts.join(" | ").toStdString();
    }
    void click(QQuickItem* target) {
        QTest::mouseClick(&view, Qt::LeftButton, {},
                          target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }

    testing::ModelHarness harness;
    testing::QtWarnings warnings;
    QQuickView view;
};

TEST_F(InspectorScene, ShowsTheControllersStateWithoutWarnings) {
    ASSERT_NE(view.rootObject(), nullptr);
    QTest::qWait(50);

    EXPECT_EQ(text("sourceRow1"), "Cam Link 4K · USB (UVC)");
    EXPECT_EQ(text("sourceRow2"), "Gemerktes Gerät (nicht angeschlossen)");
    EXPECT_TRUE(item("sourceRow2")->property("checked").toBool());
    EXPECT_FALSE(item("sourceRow1")->property("checked").toBool());
    EXPECT_EQ(text("ndiFooter"), "NDI®-Quellen: NDI ist auf diesem Computer nicht verfügbar.");
    EXPECT_FALSE(item("trademark")->isVisible());
    EXPECT_FALSE(item("otherFileButton")->isVisible());

    // Every option at once; a frame rate that no option offers selects none.
    EXPECT_EQ(segments("frameRatePickerSegments"), "Auto | 25 | 30 | 50 | 60");
    EXPECT_EQ(segments("maximumFrameRatePickerSegments"), "Wie Quelle | 25 fps | [30 fps]");
    EXPECT_EQ(segments("qualityPickerSegments"), "[Komprimiert (WLAN)] | Studio (LAN)");
    EXPECT_EQ(segments("keyframeIntervalPickerSegments"), "1 s | [2 s] | 4 s");
    EXPECT_FALSE(item("codecPicker")->isEnabled());
    EXPECT_TRUE(text("formatSummary").startsWith("Gesendet wird 1280×720 mit 24 fps. Die Bitrate"));

    EXPECT_FALSE(item("studioBitratePicker")->isVisible());
    EXPECT_EQ(item("stepperLabel", item("bitrateStepper"))->property("text").toString(),
              "Höchstbitrate 41 Mbit/s");
    EXPECT_FALSE(item("stepperUp", item("bitrateStepper"))->isEnabled());
    QQuickItem* tcp = item("engineRow0");
    EXPECT_FALSE(item("engineSwitch", tcp)->isEnabled());
    EXPECT_TRUE(item("engineViewers", tcp)->isVisible());
    QQuickItem* quic = item("engineRow1");
    EXPECT_FALSE(item("engineViewers", quic)->isVisible());
    EXPECT_EQ(item("engineDetail", quic)->property("text").toString(), "nicht verfügbar: kein UDP-Port frei");
    EXPECT_EQ(text("developerFooter"), "Entwicklermodus aus: Ctrl+Alt+D oder im Menü „Tilvara Sender“.");

    EXPECT_EQ(rowValue("controlPortRow"), "47810");
    EXPECT_EQ(rowValue("hevcRow"), "Nein");
    EXPECT_TRUE(item("networkRow")->isVisible());
    EXPECT_EQ(text("senderNameField"), "");
    EXPECT_EQ(item("senderNameField")->property("placeholderText").toString(), "Regie-PC");

    view.grabWindow().save(QDir(KELVORA_UI_SCREENSHOTS).filePath("inspector.png"));
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
}

// At the width the dashboard gives the inspector, a segmented choice sits beside its label where the label's
// words can wrap to make room, else below it, and no segment is ever narrower than its text.
TEST_F(InspectorScene, SegmentedChoicesShowWholeAtTheInspectorsWidth) {
    ASSERT_NE(view.rootObject(), nullptr);
    view.resize(350, 2000);
    const struct {
        const char* name;
        bool beside;
    } rows[] = {
        {"frameRatePicker", true}, {"maximumFrameRatePicker", true}, {"codecPicker", true},
        {"qualityPicker", false},  {"keyframeIntervalPicker", true},
    };
    for (const auto& row : rows) {
        QQuickItem* control = item((std::string(row.name) + "Segments").c_str());
        ASSERT_TRUE(QTest::qWaitFor([&] { return control->isVisible() && control->width() > 0; }))
            << row.name;
        QTest::qWait(20);
        EXPECT_EQ(control->x() > 0, row.beside) << row.name;
        for (int i = 0; QQuickItem* segment = testing::findItem(control, QString("segment%1").arg(i)); ++i) {
            EXPECT_GE(segment->width(), segment->implicitWidth()) << row.name << " " << i;
        }
    }
    view.grabWindow().save(QDir(KELVORA_UI_SCREENSHOTS).filePath("inspector-350.png"));
}

TEST_F(InspectorScene, PicksWriteThroughTheModelAndTheNameCommitsWhenTheFieldIsLeft) {
    ASSERT_NE(view.rootObject(), nullptr);
    QSignalSpy writes(harness.controller.get(), &SenderController::settingsChanged);
    click(item("segment2", item("frameRatePickerSegments")));
    EXPECT_EQ(harness.controller->settings().frameRate, 30);
    EXPECT_EQ(segments("frameRatePickerSegments"), "Auto | 25 | [30] | 50 | 60");
    EXPECT_EQ(writes.count(), 1);
    // The segments are reached by keyboard: the arrow keys move between them, Space picks.
    view.requestActivate();
    item("segment0", item("maximumFrameRatePickerSegments"))->forceActiveFocus();
    QTest::keyClick(&view, Qt::Key_Right);
    QTest::keyClick(&view, Qt::Key_Space);
    EXPECT_EQ(harness.controller->settings().maximumFrameRate, 25);
    EXPECT_EQ(writes.count(), 2);

    // A refused login item: the switch the user flipped on falls back to what the controller read back.
    harness.loginItem->fails = true;
    QQuickItem* login = item("launchAtLoginToggleSwitch");
    click(login);
    EXPECT_EQ(harness.loginItem->registrations, 1);
    EXPECT_FALSE(login->property("checked").toBool());

    // "−" from a stored 41000 lands inside the range.
    QMetaObject::invokeMethod(item("stepperDown", item("bitrateStepper")), "clicked");
    EXPECT_EQ(harness.controller->settings().bitrateKbps, 39000);
    EXPECT_EQ(writes.count(), 3);

    QSignalSpy openWindow(view.rootObject(), SIGNAL(openWindow(QString)));
    QMetaObject::invokeMethod(item("licensesButton"), "clicked");
    ASSERT_EQ(openWindow.count(), 1);
    EXPECT_EQ(openWindow.at(0).at(0).toString(), "licenses");

    QQuickItem* field = item("senderNameField");
    view.requestActivate();
    field->forceActiveFocus();
    for (char key : std::string(" Regie 2 ")) {
        QTest::keyClick(&view, key);
    }
    EXPECT_EQ(writes.count(), 3) << "typing writes nothing";
    item("reconnectButton")->forceActiveFocus();
    EXPECT_EQ(harness.controller->settings().senderName, "Regie 2");
    EXPECT_EQ(text("senderNameField"), " Regie 2 ");
    // Back on screen, the field shows the stored, trimmed name.
    view.rootObject()->setVisible(false);
    view.rootObject()->setVisible(true);
    EXPECT_EQ(text("senderNameField"), "Regie 2");
}

}  // namespace
}  // namespace kelvora
