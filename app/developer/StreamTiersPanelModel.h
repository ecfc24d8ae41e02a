#pragma once

#include "app/developer/PanelViewModel.h"

namespace kelvora {

// The tiers card, and the settings proxy of its fields: each setter changes one field of the stored record
// and hands the record to the controller's one settings setter.
class StreamTiersPanelModel : public kelvora::PanelViewModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QVariantList switches READ switches NOTIFY changed)
    Q_PROPERTY(bool proxyBitrateEnabled READ proxyBitrateEnabled NOTIFY changed)
    Q_PROPERTY(QString proxyBitrateText READ proxyBitrateText NOTIFY changed)
    Q_PROPERTY(QString mainMinimumBitrateText READ mainMinimumBitrateText NOTIFY changed)
    Q_PROPERTY(bool showsAdaptiveNote READ showsAdaptiveNote NOTIFY changed)
    Q_PROPERTY(bool mainTierEnabled READ mainTierEnabled WRITE setMainTierEnabled NOTIFY changed)
    Q_PROPERTY(bool middleTier READ middleTier WRITE setMiddleTier NOTIFY changed)
    Q_PROPERTY(bool proxyStream READ proxyStream WRITE setProxyStream NOTIFY changed)
    Q_PROPERTY(int proxyBitrateKbps READ proxyBitrateKbps WRITE setProxyBitrateKbps NOTIFY changed)
    Q_PROPERTY(
        int mainMinimumBitrateKbps READ mainMinimumBitrateKbps WRITE setMainMinimumBitrateKbps NOTIFY changed)
    Q_PROPERTY(bool tolerantAdaptation READ tolerantAdaptation WRITE setTolerantAdaptation NOTIFY changed)
    Q_PROPERTY(bool fullBitrateEncoder READ fullBitrateEncoder WRITE setFullBitrateEncoder NOTIFY changed)
    Q_PROPERTY(bool remoteTuningAllowed READ remoteTuningAllowed WRITE setRemoteTuningAllowed NOTIFY changed)

  public:
    using PanelViewModel::PanelViewModel;

    // Per switch (main, middle, proxy): title, viewers, help, on, enabled.
    QVariantList switches() const { return switchList_; }
    bool proxyBitrateEnabled() const { return text_.proxyBitrateEnabled; }
    QString proxyBitrateText() const { return qtext(text_.proxyBitrate); }
    QString mainMinimumBitrateText() const { return qtext(text_.mainMinimumBitrate); }
    bool showsAdaptiveNote() const { return text_.showsAdaptiveNote; }

    bool mainTierEnabled() const { return fields_.mainTierEnabled; }
    void setMainTierEnabled(bool on);
    bool middleTier() const { return fields_.middleTier; }
    void setMiddleTier(bool on);
    bool proxyStream() const { return fields_.proxyStream; }
    void setProxyStream(bool on);
    int proxyBitrateKbps() const { return fields_.proxyBitrateKbps; }
    void setProxyBitrateKbps(int kbps);
    int mainMinimumBitrateKbps() const { return fields_.mainMinimumBitrateKbps; }
    void setMainMinimumBitrateKbps(int kbps);
    bool tolerantAdaptation() const { return fields_.tolerantAdaptation; }
    void setTolerantAdaptation(bool on);
    bool fullBitrateEncoder() const { return fields_.fullBitrateEncoder; }
    void setFullBitrateEncoder(bool on);
    bool remoteTuningAllowed() const { return fields_.remoteTuningAllowed; }
    void setRemoteTuningAllowed(bool on);

    // The switch of tier 0, 1 or 2 as the user flips it: writes that tier's field.
    Q_INVOKABLE void setTierOn(int tier, bool on);

  signals:
    void changed();

  protected:
    void refresh() override;

  private:
    // The fields the card edits, as last read.
    struct Fields {
        bool mainTierEnabled = false;
        bool middleTier = false;
        bool proxyStream = false;
        int proxyBitrateKbps = 0;
        int mainMinimumBitrateKbps = 0;
        bool tolerantAdaptation = false;
        bool fullBitrateEncoder = false;
        bool remoteTuningAllowed = false;
        bool operator==(const Fields&) const = default;
    };

    template <class T>
    void write(T SenderSettings::*field, T value);

    Fields fields_;
    StreamTiersText text_;
    QVariantList switchList_;
};

}  // namespace kelvora
