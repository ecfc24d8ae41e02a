#pragma once

#include <optional>
#include <string>
#include <vector>

#include "receiver/session/DiscoveredSender.h"

namespace kelvora {

// One line of the sender list.
struct SenderRowContent {
    std::string id;
    std::string name;
    std::string subtitle;
    // The announced video input; empty hides the third line.
    std::string sourceName;
    bool isSelected = false;

    bool operator==(const SenderRowContent&) const = default;
};

// The rows in the player's order; at most the one with the selected sender's id carries the check mark.
std::vector<SenderRowContent> senderRows(const std::vector<DiscoveredSender>& senders,
                                         const std::optional<DiscoveredSender>& selected);

// The searching row's hint: the warning about networks that block discovery once discovery is slow.
struct SearchingHint {
    std::string text;
    bool isWarning = false;
};
SearchingHint searchingHint(bool isDiscoverySlow);

}  // namespace kelvora
