#include "receiver/player/views/SenderPickerPresenter.h"

namespace kelvora {

std::vector<SenderRowContent> senderRows(const std::vector<DiscoveredSender>& senders,
                                         const std::optional<DiscoveredSender>& selected) {
    std::vector<SenderRowContent> rows;
    rows.reserve(senders.size());
    bool marked = false;
    for (const DiscoveredSender& sender : senders) {
        const bool isSelected = !marked && selected && selected->id == sender.id;
        marked = marked || isSelected;
        rows.push_back(
            {sender.id, sender.name, sender.subtitle(), sender.announcement.sourceName, isSelected});
    }
    return rows;
}

SearchingHint searchingHint(bool isDiscoverySlow) {
    if (isDiscoverySlow) {
        return {
            "Nichts gefunden. Manche WLANs (Gäste-, Firmen- oder Hotelnetze) blockieren die automatische "
            "Suche – dann unten die IP-Adresse des Senders eingeben.",
            true};
    }
    return {"Die App „Tilvara Sender“ muss im selben Netzwerk laufen.", false};
}

}  // namespace kelvora
