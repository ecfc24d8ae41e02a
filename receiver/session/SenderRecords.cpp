#include "receiver/session/SenderRecords.h"

#include "core/PeerText.h"

namespace kelvora {

WelcomeMessage cleanedWelcome(WelcomeMessage welcome) {
    welcome.senderName = peerText(welcome.senderName);
    welcome.engine.rawValue = peerText(welcome.engine.rawValue);
    welcome.stream = cleanedStreamInfo(std::move(welcome.stream));
    if (welcome.senderID) {
        welcome.senderID = peerID(*welcome.senderID);
    }
    return welcome;
}

StreamInfoMessage cleanedStreamInfo(StreamInfoMessage info) {
    info.sourceName = peerText(info.sourceName);
    return info;
}

ServiceAnnouncement cleanedAnnouncement(ServiceAnnouncement announcement) {
    announcement.senderID = peerID(announcement.senderID);
    announcement.senderName = peerText(announcement.senderName);
    announcement.sourceName = peerText(announcement.sourceName);
    for (auto& engine : announcement.engines) {
        engine.rawValue = peerText(engine.rawValue);
    }
    return announcement;
}

void applyWelcome(PlaybackStatistics& stats, const WelcomeMessage& welcome,
                  std::chrono::system_clock::time_point connectedSince) {
    stats.senderName = welcome.senderName;
    stats.engine = welcome.engine;
    stats.codec = welcome.stream.codec;
    stats.dimensions = welcome.stream.dimensions;
    applyStreamInfo(stats, welcome.stream);
    stats.connectedSince = connectedSince;
}

void applyStreamInfo(PlaybackStatistics& stats, const StreamInfoMessage& info) {
    stats.streamState = info.state;
    stats.sourceName = info.sourceName;
    stats.isTestPattern = info.isTestPattern;
}

}  // namespace kelvora
