#include "receiver/session/views/UiEngine.h"

#include <QQmlEngine>
#include <QtGlobal>

#include "core/LicenseRegistry.h"
#include "receiver/session/views/SymbolProvider.h"

namespace kelvora {

void prepareUiEngine(QQmlEngine& engine) {
    // Only the programs with a window link Qt, so its entry joins the licences when a window comes into use.
    LicenseRegistry::registerEntry(LicenseEntry{
        "Qt", qVersion(), "LGPL-3.0-only OR GPL-2.0-only OR GPL-3.0-only", "https://www.qt.io/licensing/",
        "Fenster, Bedienoberfläche und Darstellung. Copyright (c) The Qt Company Ltd. und weitere "
        "Mitwirkende. "
        "Den vollständigen Lizenztext liefert die Distribution mit dem Paket der Bibliothek "
        "(/usr/share/doc/<Paket>/copyright)."});
    engine.addImportPath(QStringLiteral(":/qt/qml"));
    if (engine.imageProvider(QStringLiteral("symbol")) == nullptr) {
        engine.addImageProvider(QStringLiteral("symbol"), new SymbolProvider);
    }
}

}  // namespace kelvora
