#pragma once

class QQmlEngine;

namespace kelvora {

// Readies an engine for the Kelvora.Ui module: the module's import path and the symbol images; Qt's own
// entry joins the licence list. Every engine that loads our views calls this once before loading.
void prepareUiEngine(QQmlEngine& engine);

}  // namespace kelvora
