// The clients card on a real controller sending the test pattern, with a viewer on loopback.

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "PanelScene.h"
#include "app/developer/ClientsPanelModel.h"
#include "app/model/ModelFakes.h"
#include "sender/server/TestViewer.h"
#include "support/ProcessUntil.h"

namespace kelvora::testing {
namespace {

TEST(ClientsPanelEndToEnd, AViewerAppearsAndItsButtonSendsItAway) {
    ModelHarness h;
    SenderSettings stored;
    stored.senderName = "Dashboard " + std::to_string(getpid());
    stored.enabledEngines = {"tcp"};
    stored.controlPort = 0;
    stored.useTestPattern = true;
    stored.resolution = {320, 180};
    stored.autoResolution = false;
    h.storeSettings(stored);
    h.defaults->set(kPresetKey, true);
    SenderPipeline::Options options;
    options.announce = false;
    SenderController& c = h.make(PipelineFactory::real(options, 0));
    c.start();
    ASSERT_TRUE(processUntil([&] { return c.status().controlPort && c.status().isLive(); }));

    PanelScene scene;
    scene.load("ClientsPanel.qml", {{"controller", QVariant::fromValue<QObject*>(&c)}});
    auto* model =
        qobject_cast<ClientsPanelModel*>(scene.view.rootObject()->property("panel").value<QObject*>());
    ASSERT_NE(model, nullptr);

    TestViewer viewer(*c.status().controlPort);
    ASSERT_TRUE(viewer.join(TestViewer::hello("dashboard-viewer")));
    ASSERT_TRUE(processUntil([&] { return model->rows().size() == 1; }));
    const QVariantMap row = model->rows()[0].toMap();
    EXPECT_EQ(row["name"].toString(), "Viewer dashboard-viewer");
    const QString rowName = "clientRow_" + row["id"].toString();
    QQuickItem* rowItem = scene.child(rowName);
    ASSERT_NE(rowItem, nullptr);
    scene.screenshot("ClientsPanel-loopback.png");

    scene.click(scene.child("disconnectButton", rowItem));
    EXPECT_EQ(viewer.goodbyeReason(), "disconnected by sender");
    EXPECT_TRUE(processUntil([&] { return model->rows().isEmpty(); }));
    c.stop();
}

}  // namespace
}  // namespace kelvora::testing
