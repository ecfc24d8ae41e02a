#pragma once

#include "app/developer/PanelViewModel.h"

namespace kelvora {

// The simple stream card: its switch, its bitrate and what it tells about its receivers.
class SimpleStreamPanelModel : public kelvora::PanelViewModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY changed)
    Q_PROPERTY(int bitrateKbps READ bitrateKbps WRITE setBitrateKbps NOTIFY changed)
    Q_PROPERTY(QString caption READ caption NOTIFY changed)
    Q_PROPERTY(bool captionIsError READ captionIsError NOTIFY changed)
    Q_PROPERTY(QString bitrateText READ bitrateText NOTIFY changed)

  public:
    using PanelViewModel::PanelViewModel;

    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    int bitrateKbps() const { return bitrateKbps_; }
    // Every write reaches the controller, an equal one too: it stores the default and retunes the stream.
    void setBitrateKbps(int kbps);
    QString caption() const { return qtext(text_.caption); }
    bool captionIsError() const { return text_.captionIsError; }
    QString bitrateText() const { return qtext(text_.bitrate); }

  signals:
    void changed();

  protected:
    void refresh() override;

  private:
    bool enabled_ = false;
    int bitrateKbps_ = 0;
    SimpleStreamText text_;
};

}  // namespace kelvora
