#include "app/developer/StreamTiersPanelModel.h"

namespace kelvora {

template <class T>
void StreamTiersPanelModel::write(T SenderSettings::*field, T value) {
    if (!controller()) {
        return;
    }
    SenderSettings settings = controller()->settings();
    settings.*field = value;
    controller()->setSettings(settings);
}

void StreamTiersPanelModel::setMainTierEnabled(bool on) {
    write(&SenderSettings::mainTierEnabled, on);
}
void StreamTiersPanelModel::setMiddleTier(bool on) {
    write(&SenderSettings::middleTier, on);
}
void StreamTiersPanelModel::setProxyStream(bool on) {
    write(&SenderSettings::proxyStream, on);
}
void StreamTiersPanelModel::setProxyBitrateKbps(int kbps) {
    write(&SenderSettings::proxyBitrateKbps, kbps);
}
void StreamTiersPanelModel::setMainMinimumBitrateKbps(int kbps) {
    write(&SenderSettings::mainMinimumBitrateKbps, kbps);
}
void StreamTiersPanelModel::setTolerantAdaptation(bool on) {
    write(&SenderSettings::tolerantAdaptation, on);
}
void StreamTiersPanelModel::setFullBitrateEncoder(bool on) {
    write(&SenderSettings::fullBitrateEncoder, on);
}
void StreamTiersPanelModel::setRemoteTuningAllowed(bool on) {
    write(&SenderSettings::remoteTuningAllowed, on);
}

void StreamTiersPanelModel::setTierOn(int tier, bool on) {
    // A switch the rules lock is not written, even when something flips it anyway (a script, a stale view).
    if (tier < 0 || tier >= static_cast<int>(text_.switches.size()) || !text_.switches[tier].isEnabled) {
        return;
    }
    switch (tier) {
        case 0:
            setMainTierEnabled(on);
            break;
        case 1:
            setMiddleTier(on);
            break;
        default:
            setProxyStream(on);
            break;
    }
}

void StreamTiersPanelModel::refresh() {
    SenderController* c = controller();
    if (!c) {
        return;
    }
    const SenderSettings& s = c->settings();
    const bool fieldsChanged =
        replace(fields_,
                {s.mainTierEnabled, s.middleTier, s.proxyStream, s.proxyBitrateKbps, s.mainMinimumBitrateKbps,
                 s.tolerantAdaptation, s.fullBitrateEncoder, s.remoteTuningAllowed});
    const bool textChanged = replace(text_, streamTiers(s, c->status().tiers));
    if (textChanged) {
        switchList_.clear();
        for (const TierSwitchText& item : text_.switches) {
            switchList_.append(QVariantMap{{"title", qtext(item.title)},
                                           {"viewers", qtext(item.viewers)},
                                           {"help", qtext(item.help)},
                                           {"on", item.isOn},
                                           {"enabled", item.isEnabled}});
        }
    }
    if (fieldsChanged || textChanged) {
        emit changed();
    }
}

}  // namespace kelvora
