#include "app/developer/TierComparisonPanelModel.h"

namespace kelvora {

void TierComparisonPanelModel::setOn(bool on) {
    if (controller()) {
        controller()->setShowsTierComparison(on);
    }
}

VideoFeed* TierComparisonPanelModel::feed(uint8_t tier) {
    const auto found = feeds_.find(tier);
    if (found != feeds_.end()) {
        return found->second;
    }
    if (!controller() || !controller()->tierMonitor()) {
        return nullptr;
    }
    auto renderer = controller()->tierMonitor()->renderer(tier);
    if (!renderer) {
        return nullptr;
    }
    auto* made = new VideoFeed(std::move(renderer), this);
    feeds_.emplace(tier, made);
    return made;
}

void TierComparisonPanelModel::refresh() {
    SenderController* c = controller();
    if (replace(on_, c && c->showsTierComparison())) {
        emit onChanged();
    }
    auto tiles = c ? comparisonTiles(c->status().tiers, c->tierInfos(), c->settings().studioMode)
                   : std::vector<ComparisonTile>{};
    if (!replace(tiles_, std::move(tiles))) {
        return;
    }
    tileList_.clear();
    for (const ComparisonTile& tile : tiles_) {
        tileList_.append(QVariantMap{{"tier", int(tile.tier)},
                                     {"title", qtext(tile.title)},
                                     {"hasFigures", tile.hasFigures},
                                     {"codec", qtext(tile.codec)},
                                     {"format", qtext(tile.format)},
                                     {"timing", qtext(tile.timing)},
                                     {"feed", QVariant::fromValue<QObject*>(feed(tile.tier))}});
    }
    emit tilesChanged();
}

}  // namespace kelvora
