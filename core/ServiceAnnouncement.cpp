#include "core/ServiceAnnouncement.h"

#include "core/PeerText.h"
#include "platform/Graphemes.h"
#include "platform/Utf8.h"

#include <charconv>
#include <limits>

namespace kelvora {

namespace {

// Room for the value in one TXT string after the key and "=".
std::size_t valueRoom(std::string_view key) {
    return TxtRecord::maximumStringLength - key.size() - 1;
}

std::string fitText(std::string_view key, std::string_view text, std::size_t maxClusters) {
    return prefixOfGraphemes(text, maxClusters, valueRoom(key));
}

// A whole decimal number, optionally signed, and nothing else.
std::optional<int> wholeNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> nonEmptyPieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

std::string joinedEngines(const std::vector<EngineKind>& engines) {
    // Whole engine names only: a name cut in half would announce a transport that does not exist.
    std::string joined;
    for (const auto& engine : engines) {
        const std::size_t needed = joined.size() + (joined.empty() ? 0 : 1) + engine.rawValue.size();
        if (needed > valueRoom("eng")) {
            break;
        }
        if (!joined.empty()) {
            joined += ',';
        }
        joined += engine.rawValue;
    }
    return joined;
}

}  // namespace

// A viewer cuts the id of a welcome as this cuts the announced one, so that both name the sender alike.
static_assert(maximumPeerIDBytes == TxtRecord::maximumStringLength - std::string_view("id=").size());

TxtRecord ServiceAnnouncement::txtRecord() const {
    TxtRecord record;
    record.set("id", fitText("id", senderID, std::numeric_limits<std::size_t>::max()));
    record.set("name", fitText("name", senderName, maximumNameCharacters));
    record.set("v", std::to_string(protocolVersion));
    record.set("eng", joinedEngines(engines));
    record.set("codec", codec == VideoCodec::hevc ? "hevc" : "h264");
    record.set("res", std::to_string(dimensions.width) + "x" + std::to_string(dimensions.height));
    record.set("fps", std::to_string(frameRate));
    record.set("state", json::rawString(state));
    record.set("src", fitText("src", sourceName, maximumNameCharacters));
    return record;
}

std::optional<ServiceAnnouncement> ServiceAnnouncement::fromTxtRecord(const TxtRecord& record) {
    const auto id = record.value("id");
    if (!id) {
        return std::nullopt;
    }
    ServiceAnnouncement announcement;
    announcement.senderID = validUtf8(*id);
    // A sender that gives no name is shown by what it is; on this side that need not be any particular brand.
    announcement.senderName = validUtf8(record.value("name").value_or("Computer"));
    announcement.protocolVersion = wholeNumber(record.value("v").value_or("")).value_or(0);
    if (const auto engines = record.value("eng")) {
        for (const auto piece : nonEmptyPieces(*engines, ',')) {
            announcement.engines.push_back(EngineKind{validUtf8(piece)});
        }
    }
    if (const auto codec = record.value("codec")) {
        announcement.codec = videoCodecFromLenient(*codec).value_or(VideoCodec::hevc);
    }
    if (const auto resolution = record.value("res")) {
        std::vector<int> numbers;
        for (const auto piece : nonEmptyPieces(*resolution, 'x')) {
            // Sizes from the network are kept within what a picture can have, so that nothing later
            // computes with a negative or absurd side.
            const auto number = wholeNumber(piece);
            if (number && *number >= 0 && *number <= VideoDimensions::maximumSide) {
                numbers.push_back(*number);
            }
        }
        if (numbers.size() == 2) {
            announcement.dimensions = VideoDimensions{numbers[0], numbers[1]};
        }
    }
    announcement.frameRate = wholeNumber(record.value("fps").value_or("")).value_or(30);
    if (const auto state = record.value("state")) {
        announcement.state = json::fromRawString<StreamInfoMessage::State>(*state).value_or(
            StreamInfoMessage::State::noSource);
    }
    announcement.sourceName = validUtf8(record.value("src").value_or(""));
    return announcement;
}

}  // namespace kelvora
