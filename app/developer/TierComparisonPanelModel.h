#pragma once

#include <map>
#include <vector>

#include "app/developer/PanelViewModel.h"
#include "receiver/session/views/VideoFeed.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

// The tier comparison card: its switch and one tile per running tier, each with the tier monitor's pictures.
class TierComparisonPanelModel : public kelvora::PanelViewModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool on READ on WRITE setOn NOTIFY onChanged)
    Q_PROPERTY(QVariantList tiles READ tiles NOTIFY tilesChanged)

  public:
    using PanelViewModel::PanelViewModel;

    bool on() const { return on_; }
    void setOn(bool on);
    // Per tile: tier, title, hasFigures, codec, format, timing, and feed (null without a renderer).
    QVariantList tiles() const { return tileList_; }

  signals:
    void onChanged();
    void tilesChanged();

  protected:
    void refresh() override;

  private:
    VideoFeed* feed(uint8_t tier);

    bool on_ = false;
    std::vector<ComparisonTile> tiles_;
    QVariantList tileList_;
    // One feed per tier for the model's life, so a tile keeps its picture while its texts change.
    std::map<uint8_t, VideoFeed*> feeds_;
};

}  // namespace kelvora
