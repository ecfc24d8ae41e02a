#include "app/developer/SimpleStreamPanelModel.h"

namespace kelvora {

void SimpleStreamPanelModel::setEnabled(bool enabled) {
    if (controller()) {
        controller()->setSimpleStreamEnabled(enabled);
    }
}

void SimpleStreamPanelModel::setBitrateKbps(int kbps) {
    if (controller()) {
        controller()->setSimpleStreamBitrateKbps(kbps);
    }
}

void SimpleStreamPanelModel::refresh() {
    SenderController* c = controller();
    if (!c) {
        return;
    }
    bool changedAny = replace(enabled_, c->simpleStreamEnabled());
    changedAny |= replace(bitrateKbps_, c->simpleStreamBitrateKbps());
    changedAny |=
        replace(text_, simpleStream(c->simpleStreamEnabled(), c->simpleStreamBitrateKbps(),
                                    c->simpleStreamClients(), c->simpleStreamError().toStdString()));
    if (changedAny) {
        emit changed();
    }
}

}  // namespace kelvora
