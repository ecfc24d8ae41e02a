#include "app/ui/UiEngine.h"

#include <QQmlEngine>

#include "app/ui/SymbolProvider.h"

namespace kelvora {

void prepareUiEngine(QQmlEngine& engine) {
    engine.addImportPath(QStringLiteral(":/qt/qml"));
    if (engine.imageProvider(QStringLiteral("symbol")) == nullptr) {
        engine.addImageProvider(QStringLiteral("symbol"), new SymbolProvider);
    }
}

}  // namespace kelvora
