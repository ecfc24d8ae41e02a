#include "sender/pipeline/SenderStatusRows.h"

#include <algorithm>

#include "sender/server/SenderSession.h"
#include "sender/server/StreamingEngine.h"

namespace kelvora {

std::vector<TierStatus> tierStatusRows(const TierEncoderMap& encoders, const SessionList& sessions,
                                       std::map<uint8_t, RateMeter>& frameMeters, uint64_t now) {
    std::vector<TierStatus> rows;
    for (const auto& [tier, encoder] : encoders) {
        const EncoderConfiguration configuration = encoder->configuration();
        const VideoEncoder::Timing timing = encoder->timing();
        TierStatus row;
        row.tier = tier;
        row.codec = configuration.codec;
        row.dimensions = configuration.dimensions;
        row.bitrateKbps = configuration.bitrateKbps;
        row.clientCount =
            int(std::count_if(sessions.begin(), sessions.end(),
                              [tier = tier](const auto& session) { return session->tier == tier; }));
        auto meter = frameMeters.find(tier);
        row.frameRate = meter == frameMeters.end() ? 0 : meter->second.rate(now);
        row.lowLatencyRateControl = encoder->isLowLatencyActive();
        row.encodeWaitMs = timing.waitMs;
        row.encodeHardwareMs = timing.hardwareMs;
        row.outputCodec = timing.outputCodec;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<StreamTuning::Tier> tuningTierRows(const TierEncoderMap& encoders, const SessionList& sessions,
                                               std::map<uint8_t, RateMeter>& frameMeters, uint64_t now) {
    std::vector<StreamTuning::Tier> rows;
    for (const auto& [tier, encoder] : encoders) {
        const EncoderConfiguration configuration = encoder->configuration();
        StreamTuning::Tier row;
        row.tier = tier;
        row.width = configuration.dimensions.width;
        row.height = configuration.dimensions.height;
        row.bitrateKbps = configuration.bitrateKbps;
        auto meter = frameMeters.find(tier);
        row.frameRate = meter == frameMeters.end() ? 0 : meter->second.rate(now);
        row.clientCount =
            int(std::count_if(sessions.begin(), sessions.end(),
                              [tier = tier](const auto& session) { return session->tier == tier; }));
        rows.push_back(row);
    }
    return rows;
}

std::vector<EngineStatus> engineStatusRows(const EngineList& serverEngines, const SessionList& sessions,
                                           const EngineList& extraEngines,
                                           const std::vector<std::string>& enabled) {
    std::vector<EngineStatus> rows;
    for (const auto& engine : serverEngines) {
        EngineStatus row;
        row.kind = engine->kind();
        row.isEnabled = true;
        row.isAvailable = engine->isAvailable();
        row.detail = engine->statusDetail();
        row.clientCount = int(std::count_if(sessions.begin(), sessions.end(), [&](const auto& session) {
            return session->engine == row.kind;
        }));
        rows.push_back(std::move(row));
    }
    std::vector<EngineKind> known = EngineKind::all();
    for (const auto& engine : extraEngines) {
        known.push_back(engine->kind());
    }
    for (const auto& kind : known) {
        const bool listed =
            std::any_of(rows.begin(), rows.end(), [&](const EngineStatus& row) { return row.kind == kind; });
        if (listed) {
            continue;
        }
        rows.push_back(EngineStatus{kind,
                                    std::find(enabled.begin(), enabled.end(), kind.rawValue) != enabled.end(),
                                    true, "deaktiviert", 0});
    }
    return rows;
}

}  // namespace kelvora
