#include "app/developer/EncoderPanelModel.h"

namespace kelvora {

void EncoderPanelModel::refresh() {
    SenderController* c = controller();
    auto rows = c ? encoderRows(c->status().tiers, c->settings().studioMode) : std::vector<EncoderRowText>{};
    if (!replace(rows_, std::move(rows))) {
        return;
    }
    rowList_.clear();
    for (const EncoderRowText& row : rows_) {
        rowList_.append(QVariantMap{{"tier", int(row.tier)},
                                    {"title", qtext(row.title)},
                                    {"codec", pillMap(row.codec)},
                                    {"dimensions", qtext(row.dimensions)},
                                    {"frameRate", qtext(row.frameRate)},
                                    {"timing", qtext(row.timing)},
                                    {"timingHelp", qtext(row.timingHelp)},
                                    {"lowLatency", row.lowLatency},
                                    {"bitrate", qtext(row.bitrate)},
                                    {"viewers", qtext(row.viewers)}});
    }
    emit rowsChanged();
}

}  // namespace kelvora
