#include "receiver/session/DiscoveredSender.h"

#include "core/KelvoraService.h"

namespace kelvora {

namespace {

std::string_view stateText(StreamInfoMessage::State state) {
    switch (state) {
        case StreamInfoMessage::State::noSource:
            return "kein Eingang";
        case StreamInfoMessage::State::starting:
            return "startet";
        case StreamInfoMessage::State::live:
            return "Live";
        case StreamInfoMessage::State::paused:
            return "pausiert";
    }
    return "";
}

}  // namespace

DiscoveredSender DiscoveredSender::direct(const std::string& host, int port, std::optional<std::string> id,
                                          std::optional<std::string> name) {
    const uint16_t usablePort =
        port >= 1 && port <= 65535 ? static_cast<uint16_t>(port) : KelvoraService::defaultPort;
    DiscoveredSender sender;
    sender.id = id ? *id : "direct:" + host + ":" + std::to_string(usablePort);
    sender.name = name ? *name : host;
    sender.endpoint = NetworkEndpoint::hostPort(host, usablePort);
    sender.isDirect = true;
    auto& a = sender.announcement;
    a.senderID = sender.id;
    a.senderName = sender.name;
    a.protocolVersion = 4;
    a.engines = {EngineKind::quic(), EngineKind::tcp()};
    a.codec = VideoCodec::hevc;
    a.dimensions = VideoDimensions::hd1080();
    a.frameRate = 60;
    a.state = StreamInfoMessage::State::live;
    a.sourceName = "";
    return sender;
}

std::string DiscoveredSender::subtitle() const {
    if (isDirect) {
        return "direkt per IP-Adresse";
    }
    std::string text = announcement.dimensions.label();
    text += std::to_string(announcement.frameRate);
    text += " · ";
    text += videoCodecDisplayName(announcement.codec);
    text += " · ";
    text += stateText(announcement.state);
    return text;
}

}  // namespace kelvora
