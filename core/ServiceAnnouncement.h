#pragma once

#include "core/EngineKind.h"
#include "core/StreamInfoMessage.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "platform/TxtRecord.h"

#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// What a sender tells the local network about itself in its DNS-SD TXT record, so that a viewer can list it
// with name, state, picture size and transports without connecting. The sender republishes only when the
// announcement changes.
struct ServiceAnnouncement {
    std::string senderID;
    std::string senderName;
    int protocolVersion = 0;
    std::vector<EngineKind> engines;
    VideoCodec codec = VideoCodec::hevc;
    VideoDimensions dimensions = VideoDimensions::hd1080();
    int frameRate = 30;
    StreamInfoMessage::State state = StreamInfoMessage::State::noSource;
    std::string sourceName;

    bool operator==(const ServiceAnnouncement&) const = default;

    // Names and source names are announced with at most this many user-perceived characters.
    static constexpr std::size_t maximumNameCharacters = 60;

    // The nine keys in this order: "id", "name", "v", "eng", "codec", "res", "fps", "state", "src". Every
    // key is always present. Texts are cut between characters so that each entry fits the 255 bytes of one
    // TXT string: names and source names to 60 characters and fewer when those would not fit.
    TxtRecord txtRecord() const;

    // Reads a record leniently: only "id" is required; every other key that is missing or unreadable takes
    // its default. Texts that are not valid UTF-8 have the bad bytes replaced.
    static std::optional<ServiceAnnouncement> fromTxtRecord(const TxtRecord& record);
};

}  // namespace kelvora
