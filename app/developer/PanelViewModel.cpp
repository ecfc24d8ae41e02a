#include "app/developer/PanelViewModel.h"

namespace kelvora {

void PanelViewModel::setController(QObject* object) {
    auto* controller = qobject_cast<SenderController*>(object);
    if (controller == controller_) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    if (controller) {
        for (auto signal :
             {&SenderController::settingsChanged, &SenderController::statusChanged,
              &SenderController::tierInfosChanged, &SenderController::showsTierComparisonChanged,
              &SenderController::simpleStreamEnabledChanged,
              &SenderController::simpleStreamBitrateKbpsChanged,
              &SenderController::simpleStreamClientsChanged, &SenderController::simpleStreamErrorChanged}) {
            connect(controller, signal, this, &PanelViewModel::refresh);
        }
    }
    refresh();
    emit controllerChanged();
}

QVariantMap pillMap(const PillText& pill) {
    return {{"text", qtext(pill.text)},
            {"color", qtext(std::string(colorTokenName(pill.color)))},
            {"help", qtext(pill.help)}};
}

}  // namespace kelvora
