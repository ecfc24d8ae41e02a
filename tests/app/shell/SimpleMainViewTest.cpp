#include <QDir>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <gtest/gtest.h>

#include "app/developer/PreviewVisibility.h"
#include "app/model/ModelFakes.h"
#include "receiver/session/views/UiEngine.h"
#include "support/QtWarnings.h"

namespace kelvora {
namespace {

using testing::ModelHarness;

ClientStatus viewer(const char* id, const char* name, const char* model, uint8_t tier, double latency) {
    ClientStatus client;
    client.id = id;
    client.name = name;
    client.deviceModel = model;
    client.tier = tier;
    client.latencyMs = latency;
    client.isMediaConnected = true;
    return client;
}

// The simple view on a controller of fakes, offscreen on the software scene graph.
class SimpleMainViewScene : public ::testing::Test {
  protected:
    SimpleMainViewScene() : controller(harness.make()) {
        prepareUiEngine(*view.engine());
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(900, 1000);
    }

    void load() {
        view.setInitialProperties({{"controller", QVariant::fromValue<QObject*>(&controller)},
                                   {"previewVisibility", QVariant::fromValue<QObject*>(&previewVisibility)}});
        view.setSource(QUrl("qrc:/qt/qml/Kelvora/Shell/SimpleMainView.qml"));
        for (const QQmlError& error : view.errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view.show();
        settle();
    }
    void settle() {
        for (int i = 0; i < 5; ++i) {
            harness.settle();
        }
    }
    QList<QQuickItem*> all(const char* name) { return testing::findItems(view.rootObject(), name); }
    QString text(QObject* parent, const char* name) {
        auto* item = parent->findChild<QObject*>(name);
        return item ? item->property("text").toString() : QString("<missing %1>").arg(name);
    }
    bool visible(QObject* parent, const char* name) {
        auto* item = parent->findChild<QQuickItem*>(name);
        return item && item->isVisible();
    }
    void screenshot(const char* file) {
        const QImage image = view.grabWindow();
        EXPECT_FALSE(image.isNull());
        image.save(QDir(KELVORA_UI_SCREENSHOTS).filePath(file));
    }
    void expectNoWarnings() {
        EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
    }

    ModelHarness harness;
    SenderController& controller;
    PreviewVisibility previewVisibility{PreviewVisibility::mainPreviewOf(controller)};
    testing::QtWarnings warnings;
    QQuickView view;
};

TEST_F(SimpleMainViewScene, OneOutputWaitingForASource) {
    load();
    QQuickItem* main = view.rootObject()->findChild<QQuickItem*>("mainSourceTile");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(text(main, "placeholderTitle"), "Kein Videoeingang");
    EXPECT_EQ(text(main, "placeholderDetail"), "Capture-Karte oder Kamera anschließen");
    EXPECT_EQ(text(main, "sourceMenuTitle"), "Automatisch");
    EXPECT_FALSE(visible(main, "removeButton"));
    EXPECT_FALSE(visible(main, "formatChip"));
    EXPECT_TRUE(all("extraSourceTile").isEmpty());
    EXPECT_TRUE(visible(view.rootObject(), "receiversEmpty"));
    EXPECT_EQ(text(view.rootObject(), "receiversCount"), "");
    screenshot("simple-main-view-waiting.png");
    expectNoWarnings();

    // The main preview is fed while the view is on screen, and only then.
    EXPECT_TRUE(controller.isMainPreviewVisible());
    view.hide();
    settle();
    EXPECT_FALSE(controller.isMainPreviewVisible());
}

TEST_F(SimpleMainViewScene, LiveMainOutputWithTwoExtraOutputsOneFailedAndThreeViewers) {
    controller.start();
    CaptureDeviceInfo camera;
    camera.id = "cam";
    camera.name = "Cam Link 4K";
    camera.isExternal = true;
    camera.connection = CaptureDeviceInfo::Connection::usb;
    harness.deviceList->handler({camera});
    controller.selectDevice("cam");
    for (int i = 0; i < 2; ++i) {
        controller.addOutput();
        controller.setOutputSource(controller.settings().extraOutputs.back().id, "testpattern");
    }
    SenderStatus live;
    live.state = SenderStatus::State::live();
    live.sourceName = "Cam Link 4K";
    live.measuredFrameRate = 29.97;
    live.clients = {viewer("a", "Annas iPad", "iPad13,1", 0, 42), viewer("b", "Regie-Mac", "Mac14,2", 1, 95)};
    harness.mainPipeline().statusHandler(live);
    SenderStatus extraLive = live;
    extraLive.sourceName = "Testbild";
    extraLive.clients = {viewer("c", "Bens iPhone", "iPhone15,2", 2, 180)};
    controller.extraOutputs()[0]->setStatus(extraLive);
    SenderStatus failed;
    failed.state = SenderStatus::State::error("Gerät ist belegt");
    controller.extraOutputs()[1]->setStatus(failed);
    view.resize(960, 1000);  // the main window's width with extra outputs
    load();

    QQuickItem* main = view.rootObject()->findChild<QQuickItem*>("mainSourceTile");
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(visible(main, "tilePlaceholder"));
    EXPECT_EQ(text(main, "formatChip"), "1080p · 30 fps");
    EXPECT_EQ(text(main, "badgeTitle"), "LIVE");
    EXPECT_EQ(text(main, "sourceMenuTitle"), "Cam Link 4K · USB (UVC)");
    const QList<QQuickItem*> extras = all("extraSourceTile");
    ASSERT_EQ(extras.size(), 2);
    EXPECT_TRUE(visible(extras[0], "removeButton"));
    EXPECT_EQ(text(extras[1], "placeholderTitle"), "Fehler");
    EXPECT_EQ(text(extras[1], "placeholderDetail"), "Gerät ist belegt");
    EXPECT_EQ(text(view.rootObject(), "receiversCount"), "3");
    EXPECT_EQ(all("receiverName").size(), 3);
    // In the two-column grid every tile keeps its controls inside, its labels and pickers whole.
    for (QQuickItem* tile : QList<QQuickItem*>{main} + extras) {
        for (const char* name :
             {"resolutionLabel", "frameRateLabel", "resolutionPicker", "frameRatePicker"}) {
            auto* item = tile->findChild<QQuickItem*>(name);
            ASSERT_NE(item, nullptr) << name;
            EXPECT_GE(item->width(), item->implicitWidth()) << name;
        }
        auto* last =
            tile->findChild<QQuickItem*>(visible(tile, "removeButton") ? "removeButton" : "renameButton");
        EXPECT_LE(last->mapToItem(tile, QPointF(last->width(), 0)).x(), tile->width());
    }
    screenshot("simple-main-view-live.png");
    // "Wie Quelle" stands apart from the sizes below it.
    auto* picker = main->findChild<QQuickItem*>("resolutionPicker");
    qvariant_cast<QObject*>(picker->property("popup"))->setProperty("visible", true);
    settle();
    QList<QQuickItem*> dividers;
    for (QQuickItem* divider : testing::findItems(view.contentItem(), "pickerDivider")) {
        if (divider->isVisible()) {
            dividers << divider;
        }
    }
    EXPECT_EQ(dividers.size(), 1);
    screenshot("simple-main-view-picker.png");
    // Escape closes the list.
    QTest::keyClick(&view, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !qvariant_cast<QObject*>(picker->property("popup"))->property("visible").toBool(); }));
    expectNoWarnings();
}

// Viewers come and go, and the window's width changes before the next frame is drawn, as a window manager's
// resize may arrive: the receivers card lays out no row it let go of, and shows the viewers of each status.
TEST_F(SimpleMainViewScene, ReceiverRowsOutliveViewersComingAndGoingBeforeTheNextFrame) {
    controller.start();
    load();
    const ClientStatus anna = viewer("a", "Annas iPad", "iPad13,1", 0, 42);
    const ClientStatus regie = viewer("b", "Regie-Mac", "Mac14,2", 1, 95);
    const ClientStatus ben = viewer("c", "Bens iPhone", "iPhone15,2", 2, 180);
    SenderStatus live;
    live.state = SenderStatus::State::live();
    int width = 900;
    for (const auto& clients :
         std::vector<std::vector<ClientStatus>>{{anna}, {anna, regie}, {regie}, {ben}, {}, {ben, anna}}) {
        view.grabWindow();
        live.clients = clients;
        harness.mainPipeline().statusHandler(live);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
        width = width == 900 ? 960 : 900;
        view.resize(width, view.height());
        QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
        view.grabWindow();
        QStringList shown;
        for (QQuickItem* name : all("receiverName")) {
            shown << name->property("text").toString();
        }
        QStringList expected;
        for (const ClientStatus& client : clients) {
            expected << QString::fromStdString(client.name);
        }
        EXPECT_EQ(shown.join(", ").toStdString(), expected.join(", ").toStdString());
    }
    expectNoWarnings();
}

TEST_F(SimpleMainViewScene, RenameSheetSavesWhatWasTyped) {
    load();
    view.requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    QQuickItem* main = view.rootObject()->findChild<QQuickItem*>("mainSourceTile");
    ASSERT_NE(main, nullptr);
    QMetaObject::invokeMethod(main->findChild<QObject*>("renameButton"), "clicked");
    settle();
    auto* field = view.rootObject()->window()->contentItem()->findChild<QQuickItem*>("renameField");
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(field->isVisible());
    EXPECT_EQ(field->property("placeholderText").toString(),
              QString::fromStdString(controller.displayName()));
    screenshot("simple-main-view-rename.png");

    // Escape closes without saving, and the sheet opens again afterwards.
    field->forceActiveFocus();
    QTest::keyClick(&view, Qt::Key_Escape);
    settle();
    EXPECT_FALSE(field->isVisible());
    QMetaObject::invokeMethod(main->findChild<QObject*>("renameButton"), "clicked");
    settle();
    EXPECT_TRUE(field->isVisible());
    field->forceActiveFocus();
    for (char key : std::string("Buehne links")) {
        QTest::keyClick(&view, key);
    }
    // "Sichern" is the default button: Return saves even from "Abbrechen".
    field->window()->contentItem()->findChild<QQuickItem*>("renameCancel")->forceActiveFocus();
    QTest::keyClick(&view, Qt::Key_Return);
    settle();
    EXPECT_FALSE(field->isVisible());
    EXPECT_EQ(controller.settings().senderName, "Buehne links");
    EXPECT_EQ(text(main->findChild<QObject*>("nameChip"), "tileChipText"), "Buehne links");
    expectNoWarnings();
}

}  // namespace
}  // namespace kelvora
