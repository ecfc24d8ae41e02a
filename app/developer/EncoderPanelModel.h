#pragma once

#include <vector>

#include "app/developer/PanelViewModel.h"

namespace kelvora {

// The encoder card: one row per running tier encoder of the main output.
class EncoderPanelModel : public kelvora::PanelViewModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QVariantList rows READ rows NOTIFY rowsChanged)

  public:
    using PanelViewModel::PanelViewModel;

    // Per row: tier, title, codec (text, color, help), dimensions, frameRate, timing (empty for none),
    // timingHelp, lowLatency, bitrate, viewers.
    QVariantList rows() const { return rowList_; }

  signals:
    void rowsChanged();

  protected:
    void refresh() override;

  private:
    std::vector<EncoderRowText> rows_;
    QVariantList rowList_;
};

}  // namespace kelvora
