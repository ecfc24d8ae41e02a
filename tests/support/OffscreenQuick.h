#pragma once

#include <QGuiApplication>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <cstdlib>

namespace kelvora::testing {

// Runs a test program's scene tests without a display and without a GPU: the offscreen platform and Qt
// Quick's software scene graph, chosen before the application exists. The process ends with the tests, so
// nothing is restored. `Application` is QApplication where a test needs widgets (dialogs, menus).
template <class Application = QGuiApplication>
int runOffscreenQuickTests(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QT_QUICK_BACKEND", "software", 1);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    Application application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace kelvora::testing
