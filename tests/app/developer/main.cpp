#include <QApplication>
#include <QQmlEngineExtensionPlugin>

#include "support/OffscreenQuick.h"

Q_IMPORT_QML_PLUGIN(Kelvora_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kelvora_DeveloperPlugin)

int main(int argc, char** argv) {
    return kelvora::testing::runOffscreenQuickTests<QApplication>(argc, argv);
}
