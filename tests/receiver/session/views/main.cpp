#include <QQmlEngineExtensionPlugin>

#include "support/OffscreenQuick.h"

Q_IMPORT_QML_PLUGIN(Kelvora_UiPlugin)

int main(int argc, char** argv) {
    return kelvora::testing::runOffscreenQuickTests(argc, argv);
}
