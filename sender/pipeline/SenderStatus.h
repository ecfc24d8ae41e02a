#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/EngineKind.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "sender/server/ClientStatus.h"

namespace kelvora {

// One running encoder tier as the status shows it.
struct TierStatus {
    uint8_t tier = 0;  // 0 main, 1 middle, 2 proxy; identifies the row
    VideoCodec codec = VideoCodec::h264;
    VideoDimensions dimensions;
    int bitrateKbps = 0;
    int clientCount = 0;
    double frameRate = 0;
    bool lowLatencyRateControl = false;
    // Median milliseconds from capture to hand-over to the encoder.
    std::optional<double> encodeWaitMs;
    // Median milliseconds inside the encoder.
    std::optional<double> encodeHardwareMs;
    // Codec of the frames the encoder really produced.
    std::optional<VideoCodec> outputCodec;

    bool operator==(const TierStatus&) const = default;
};

// One media engine as the status shows it.
struct EngineStatus {
    EngineKind kind;  // identifies the row
    bool isEnabled = false;
    bool isAvailable = false;
    std::string detail;
    int clientCount = 0;

    bool operator==(const EngineStatus&) const = default;
};

// The snapshot of one sender output, built on every tick and compared with the last one so that
// identical updates can be skipped.
struct SenderStatus {
    // What the output is doing. Only `error` carries a message, and only there does it count.
    class State {
      public:
        enum class Kind { error, waitingForSource, starting, noSignal, live, paused };

        static State error(std::string message) { return State(Kind::error, std::move(message)); }
        static State waitingForSource() { return State(Kind::waitingForSource, {}); }
        static State starting() { return State(Kind::starting, {}); }
        static State noSignal() { return State(Kind::noSignal, {}); }
        static State live() { return State(Kind::live, {}); }
        static State paused() { return State(Kind::paused, {}); }

        Kind kind() const { return kind_; }
        // The failure's description for `error`; empty otherwise.
        const std::string& message() const { return message_; }

        bool operator==(const State&) const = default;

      private:
        State(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
        Kind kind_;
        std::string message_;
    };

    State state = State::waitingForSource();
    std::string sourceName;
    std::optional<std::string> sourceID;
    bool isTestPattern = false;
    bool sourceIsBlack = false;
    VideoDimensions dimensions = VideoDimensions::hd1080();
    int configuredFrameRate = 30;
    double measuredFrameRate = 0;
    int outputKbps = 0;
    VideoCodec codec = VideoCodec::hevc;
    // Claimed until the pipeline sets what the probe found.
    bool hevcHardwareAvailable = true;
    std::vector<TierStatus> tiers;  // in tier order
    std::vector<ClientStatus> clients;
    std::vector<EngineStatus> engines;
    std::optional<uint16_t> controlPort;
    std::optional<std::string> networkError;

    bool isLive() const { return state.kind() == State::Kind::live; }
    // The first listed tier's bitrate, whichever tier that is; 0 without tiers.
    int mainBitrateKbps() const { return tiers.empty() ? 0 : tiers.front().bitrateKbps; }

    bool operator==(const SenderStatus&) const = default;
};

}  // namespace kelvora
