#include <QGuiApplication>
#include <QQmlEngineExtensionPlugin>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <cstdlib>

Q_IMPORT_QML_PLUGIN(Kelvora_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kelvora_PlayerPlugin)

// The viewer's screens run without a display and without a GPU: the offscreen platform and Qt Quick's
// software scene graph, chosen before the application exists. The process ends with the tests, so nothing is
// restored.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QT_QUICK_BACKEND", "software", 1);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
