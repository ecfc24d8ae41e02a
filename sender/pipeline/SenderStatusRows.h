#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/RateMeter.h"
#include "core/StreamTuning.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/pipeline/VideoEncoder.h"

namespace kelvora {

class SenderSession;
class StreamingEngine;

using TierEncoderMap = std::map<uint8_t, std::shared_ptr<VideoEncoder>>;
using SessionList = std::vector<std::shared_ptr<SenderSession>>;
using EngineList = std::vector<std::shared_ptr<StreamingEngine>>;

// The rows of the status a sender output publishes and of the tuning it shows its viewers, built from the
// running tier encoders, the server's sessions and its engines. `frameMeters` holds each tier's delivered
// frames; reading a meter ages it to `now`.
std::vector<TierStatus> tierStatusRows(const TierEncoderMap& encoders, const SessionList& sessions,
                                       std::map<uint8_t, RateMeter>& frameMeters, uint64_t now);
std::vector<StreamTuning::Tier> tuningTierRows(const TierEncoderMap& encoders, const SessionList& sessions,
                                               std::map<uint8_t, RateMeter>& frameMeters, uint64_t now);
// One row per engine the server runs, then one per other known engine kind (the built-in ones and
// `extraEngines`) as not running; `enabled` names the kinds the settings switch on.
std::vector<EngineStatus> engineStatusRows(const EngineList& serverEngines, const SessionList& sessions,
                                           const EngineList& extraEngines,
                                           const std::vector<std::string>& enabled);

}  // namespace kelvora
