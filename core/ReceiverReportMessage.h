#pragma once

#include <cstdint>

#include "core/Json.h"

namespace kelvora {

// A viewer's report, once a second. Counts are the changes since its previous report.
struct ReceiverReportMessage {
    int intervalMs = 0;
    int framesReceived = 0;
    int framesDecoded = 0;
    int framesDropped = 0;
    int framesLost = 0;
    int framesLate = 0;
    int64_t bytesReceived = 0;  // 64 bits: a fast link fills 32 bits within a few seconds
    double latencyMedianMs = 0;
    double latencyP95Ms = 0;
    double jitterMs = 0;
    double rttMs = 0;  // control-channel round trip
    int decodeErrors = 0;

    // Dropped, lost or late frames, or decoder failures.
    bool hasIssues() const {
        return framesDropped > 0 || framesLost > 0 || framesLate > 0 || decodeErrors > 0;
    }

    bool operator==(const ReceiverReportMessage&) const = default;

    static ReceiverReportMessage fromJson(const Json& object);
    Json toJson() const;
};

}  // namespace kelvora
