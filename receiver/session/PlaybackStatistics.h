#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/EngineKind.h"
#include "core/StreamInfoMessage.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

namespace kelvora {

// The viewer-facing snapshot of one receiver session: who sends, what arrives, how late, how smooth, how
// many frames went wrong. The session keeps one behind a mutex and writes it from its queue; the player
// copies it and publishes a copy only when it differs from the last, hence equality over every field.
// Times are milliseconds; an absent optional means there is no value yet.
struct PlaybackStatistics {
    std::string senderName;
    std::optional<EngineKind> engine;
    std::optional<VideoCodec> codec;
    // The welcome's stream size, then the size of each shown picture.
    std::optional<VideoDimensions> dimensions;
    std::optional<StreamInfoMessage::State> streamState;
    std::string sourceName;
    bool isTestPattern = false;
    double framesPerSecond = 0;
    double receivedKbps = 0;
    // Longest interval between two shown pictures during the last whole second.
    double longestFrameGapMs = 0;
    // Population standard deviation of the intervals between the capture times, respectively the display
    // times, of the pictures shown during the last second.
    double sourceCadenceJitterMs = 0;
    double displayCadenceJitterMs = 0;
    // How much later than the median latency pictures are held back to run evenly.
    double smoothingDelayMs = 0;
    int senderTargetKbps = 0;
    // Capture at the sender to showing here, on the synchronised clock: median and 95th percentile.
    std::optional<double> latencyMs;
    std::optional<double> latencyP95Ms;
    std::optional<double> networkLatencyMs;
    std::optional<double> encodeMs;
    std::optional<double> transferMs;
    std::optional<double> receiverMs;
    int bridgeCount = 0;
    double bridgedMs = 0;
    bool isBridging = false;
    // Set by the player: search start to first sender found, connect start to first picture, and whether
    // the sender was typed in as an address.
    std::optional<double> discoveryMs;
    std::optional<double> firstFrameMs;
    bool isDirectConnection = false;
    int requestedMaxFps = 0;
    // Smallest round trip among the clock synchroniser's samples.
    std::optional<double> rttMs;
    double jitterMs = 0;
    bool isClockSynchronized = false;
    int framesReceived = 0;
    int framesDecoded = 0;
    int framesDropped = 0;
    int framesLost = 0;
    int framesLate = 0;
    int framesSkippedBySender = 0;
    int decodeErrors = 0;
    int keyframeRequests = 0;
    // Wall-clock time at which the welcome arrived.
    std::optional<std::chrono::system_clock::time_point> connectedSince;

    // "12 ms" for a median latency; "–" while synchronised without a sample or with one that is not
    // plausible; "sync …" before that.
    std::string latencyText() const;

    bool operator==(const PlaybackStatistics&) const = default;
};

// Latencies further than this from zero, either way, come from a clock offset or capture time that no real
// sender on a LAN gives: the clock synchroniser takes round trips of up to 5 s, so an honest offset is off by
// at most half of that, and a frame older than this would long have been given up. Such a latency is no
// latency: it is neither measured nor shown nor turned into a playout delay.
inline constexpr double maximumPlausibleLatencyMs = 5000;
inline bool isPlausibleLatency(double latencyMs) {
    return latencyMs >= -maximumPlausibleLatencyMs && latencyMs <= maximumPlausibleLatencyMs;
}

// Population standard deviation: the square root of the mean squared distance from the mean; 0 for fewer
// than two values.
double populationStandardDeviation(const std::vector<double>& values);

}  // namespace kelvora
