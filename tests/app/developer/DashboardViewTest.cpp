// The dashboard on a real controller with real pipelines: waiting for a source, live on the test picture with
// two loopback viewers, and paused; one screenshot of each lands in the build folder.

#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

#include "app/developer/PreviewVisibility.h"
#include "app/model/ModelFakes.h"
#include "receiver/session/views/UiEngine.h"
#include "receiver/session/views/VideoItem.h"
#include "sender/server/TestViewer.h"
#include "support/Eventually.h"
#include "support/ProcessUntil.h"
#include "support/QtWarnings.h"

namespace kelvora {
namespace {

using testing::FakeList;
using testing::processUntil;
using testing::QtWarnings;

class DashboardView : public ::testing::Test {
  protected:
    DashboardView() {
        std::filesystem::create_directories(root);
        SenderSettings settings;
        settings.senderName = "Regie";
        settings.enabledEngines = {"tcp"};
        settings.controlPort = 0;
        settings.resolution = {640, 360};
        settings.autoResolution = false;
        defaults.set(kSettingsKey, settings.toJson());
        defaults.set(kPresetKey, true);
    }
    ~DashboardView() override {
        view.reset();
        if (controller) {
            controller->stop();
        }
        visibility.reset();
        controller.reset();
        std::filesystem::remove_all(root);
    }

    SenderController& start() {
        SenderControllerServices services = SenderControllerServices::system();
        services.defaults = &defaults;
        services.devices = std::make_shared<FakeList<CaptureDeviceInfo>>();
        services.ndiSources = std::make_shared<FakeList<NDISourceInfo>>();
        services.ndiAvailable = false;
        services.registerNDILicense = {};
        controller = std::make_unique<SenderController>(std::move(services));
        visibility = std::make_unique<PreviewVisibility>(PreviewVisibility::mainPreviewOf(*controller));
        controller->start();
        show(*controller);
        return *controller;
    }

    void show(SenderController& shown) {
        view = std::make_unique<QQuickView>();
        prepareUiEngine(*view->engine());
        view->setInitialProperties({{"controller", QVariant::fromValue(&shown)},
                                    {"previewVisibility", QVariant::fromValue(visibility.get())}});
        view->setResizeMode(QQuickView::SizeRootObjectToView);
        view->resize(1300, 1150);
        view->setSource(QUrl("qrc:/qt/qml/Kelvora/Developer/DeveloperMainView.qml"));
        for (const QQmlError& error : view->errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view->show();
    }

    QQuickItem* item(const std::string& name) {
        QQuickItem* found = testing::findItem(view->rootObject(), QString::fromStdString(name));
        if (!found) {
            ADD_FAILURE() << name;
            throw std::runtime_error("no item " + name);
        }
        return found;
    }
    QString textOf(const char* name) { return item(name)->property("text").toString(); }
    QString metric(int index) {
        return item("metricTile" + std::to_string(index))->property("value").toString();
    }
    void screenshot(const char* file) {
        QTest::qWait(30);
        view->grabWindow().save(QDir(KELVORA_UI_SCREENSHOTS).filePath(file));
    }

    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("dashboard-view-" + std::to_string(getpid()));
    UserDefaults defaults{"app.kelvora.sender", root};
    std::unique_ptr<SenderController> controller;
    std::unique_ptr<PreviewVisibility> visibility;
    std::unique_ptr<QQuickView> view;
};

TEST_F(DashboardView, WaitingThenLiveWithTwoViewersThenPaused) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    QtWarnings warnings;
    SenderController& c = start();
    using Kind = SenderStatus::State::Kind;

    ASSERT_TRUE(processUntil([&] { return c.status().state.kind() == Kind::waitingForSource; }));
    EXPECT_TRUE(c.isMainPreviewVisible());
    EXPECT_TRUE(item("previewPlaceholder")->isVisible());
    EXPECT_EQ(textOf("placeholderTitle"), "Kein Videoeingang");
    EXPECT_EQ(item("statusBadge")->property("title").toString(), "KEIN VIDEOEINGANG");
    EXPECT_FALSE(item("formatChip")->isVisible());
    EXPECT_EQ(metric(0), "–");
    EXPECT_EQ(textOf("mainOutputName"), "Regie");
    EXPECT_TRUE(item("outputsHint")->isVisible());
    // The reference clock goes into the window's toolbar: no strip is kept for it above the panels.
    EXPECT_EQ(item("panelColumn")->mapToScene({}).y(), 0);
    EXPECT_FALSE(view->rootObject()->property("showsReferenceClock").toBool());
    screenshot("dashboard-waiting.png");

    c.selectTestPattern();
    ASSERT_TRUE(processUntil([&] { return c.status().isLive() && c.status().controlPort; }));
    testing::TestViewer first(*c.status().controlPort);
    testing::TestViewer second(*c.status().controlPort);
    ASSERT_TRUE(first.join(testing::TestViewer::hello("dashboard-1")));
    ASSERT_TRUE(second.join(testing::TestViewer::hello("dashboard-2")));
    c.setShowsTierComparison(true);
    auto* video = qobject_cast<VideoItem*>(item("previewVideo"));
    ASSERT_TRUE(processUntil([&] {
        return c.status().clients.size() == 2 && c.status().measuredFrameRate > 0 && video->uploadCount() > 0;
    }));
    EXPECT_FALSE(item("previewPlaceholder")->isVisible());
    EXPECT_TRUE(textOf("formatChip").startsWith("360p · 30 fps · ")) << textOf("formatChip").toStdString();
    EXPECT_EQ(item("sourceChip")->property("systemImage").toString(), "testtube.2");
    EXPECT_EQ(metric(2), "2");
    EXPECT_NE(metric(1), "–");
    EXPECT_TRUE(view->rootObject()->property("showsReferenceClock").toBool());
    screenshot("dashboard-live.png");
    // The lower half of the column: tier comparison, figures, viewers and encoder.
    auto* column = qvariant_cast<QQuickItem*>(item("panelColumn")->property("contentItem"));
    ASSERT_NE(column, nullptr);
    column->setProperty("contentY", item("tierComparisonPanel")->y());
    screenshot("dashboard-live-panels.png");
    column->setProperty("contentY", 0);

    c.togglePause();
    ASSERT_TRUE(processUntil([&] { return c.status().state.kind() == Kind::paused; }));
    EXPECT_TRUE(item("resumeButton")->isVisible());
    EXPECT_FALSE(item("allowCameraButton")->isVisible());
    EXPECT_EQ(item("placeholderSymbol")->property("name").toString(), "pause.circle");
    EXPECT_FALSE(view->rootObject()->property("showsReferenceClock").toBool());
    EXPECT_EQ(metric(0), "–");
    screenshot("dashboard-paused.png");

    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
}

TEST_F(DashboardView, OutputRowsComeWithTheirOutputsUpToThree) {
    QtWarnings warnings;
    testing::ModelHarness harness;
    SenderController& c = harness.make();
    c.start();
    c.addOutput();
    show(c);
    EXPECT_EQ(textOf("outputName"), "Ausgang 2");
    EXPECT_EQ(textOf("outputStatus"), "Keine Quelle");
    EXPECT_EQ(item("sourcePicker")->property("currentText").toString(), "Keine");
    EXPECT_EQ(item("frameRatePicker")->property("currentText").toString(), "Auto");
    EXPECT_FALSE(item("outputsHint")->isVisible());
    QQuickItem* add = item("addOutputButton");
    EXPECT_TRUE(add->isEnabled());
    c.addOutput();
    c.addOutput();
    EXPECT_FALSE(add->isEnabled());
    EXPECT_NE(testing::findItem(view->rootObject(), "outputRow4"), nullptr);
    screenshot("dashboard-outputs.png");
    view.reset();
    c.stop();
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
}

TEST_F(DashboardView, ReturnInANameFieldCommitsItWhilePausedAndReturnElsewhereResumes) {
    QtWarnings warnings;
    testing::ModelHarness harness;
    SenderController& c = harness.make();
    c.start();
    c.addOutput();
    c.togglePause();
    show(c);
    view->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    ASSERT_TRUE(item("resumeButton")->isVisible());

    // Each field is checked before the focus leaves it: leaving commits too, and must not be what saved.
    const auto typeAndReturn = [&](const char* field, const std::string& text) {
        item(field)->forceActiveFocus();
        for (char key : text) {
            QTest::keyClick(view.get(), key);
        }
        QTest::keyClick(view.get(), Qt::Key_Return);
    };
    typeAndReturn("outputName", " links");
    EXPECT_EQ(c.settings().extraOutputs.at(0).name, "Ausgang 2 links");
    EXPECT_TRUE(c.isPaused());
    typeAndReturn("senderNameField", "Regie");
    EXPECT_EQ(c.settings().senderName, "Regie");
    EXPECT_TRUE(c.isPaused());

    item("previewPanel")->forceActiveFocus();
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_FALSE(c.isPaused());
    view.reset();
    c.stop();
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
}

}  // namespace
}  // namespace kelvora
