#pragma once

#include <string>

namespace kelvora {

// Where a player stands. `senderName` belongs to connecting, waitingForVideo, playing and reconnecting;
// `reason` to reconnecting only. Equal when the kind and both texts are.
struct PlayerState {
    enum class Kind {
        idle,
        searching,
        connecting,
        waitingForVideo,
        playing,
        reconnecting,
        localNetworkDenied
    };

    Kind kind = Kind::idle;
    std::string senderName;
    std::string reason;

    static PlayerState idle() { return {Kind::idle, {}, {}}; }
    static PlayerState searching() { return {Kind::searching, {}, {}}; }
    static PlayerState connecting(std::string name) { return {Kind::connecting, std::move(name), {}}; }
    static PlayerState waitingForVideo(std::string name) {
        return {Kind::waitingForVideo, std::move(name), {}};
    }
    static PlayerState playing(std::string name) { return {Kind::playing, std::move(name), {}}; }
    static PlayerState reconnecting(std::string name, std::string reason) {
        return {Kind::reconnecting, std::move(name), std::move(reason)};
    }
    static PlayerState localNetworkDenied() { return {Kind::localNetworkDenied, {}, {}}; }

    bool isPlaying() const { return kind == Kind::playing; }

    bool operator==(const PlayerState&) const = default;
};

}  // namespace kelvora
