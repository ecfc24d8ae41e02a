#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/EngineKind.h"

namespace kelvora {

// One row of the viewers list, built fresh from a session for every status snapshot.
struct ClientStatus {
    std::string id;  // the session token
    std::string name;
    std::string deviceModel;
    std::string address;  // "host:port" of the control connection, or "–"
    EngineKind engine;
    uint8_t tier = 0;
    std::optional<uint8_t> candidateTier;
    bool isBridging = false;
    int64_t bridgeCount = 0;
    bool hasStandby = false;  // the proxy flows beside the main tier
    int receiverMaxFps = 0;   // 0 = no limit
    bool isMediaConnected = false;
    std::chrono::system_clock::time_point connectedSince;
    int estimateKbps = 0;
    int sentKbps = 0;
    double latencyMs = -1;  // -1 without a report
    double rttMs = -1;      // -1 without a report
    int64_t framesDroppedBySender = 0;
    int64_t framesLostAtReceiver = 0;
    int64_t framesDroppedAtReceiver = 0;

    bool operator==(const ClientStatus&) const = default;
};

}  // namespace kelvora
