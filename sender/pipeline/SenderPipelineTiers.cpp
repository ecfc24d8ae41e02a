// The pipeline's tiers and what flows back from the viewers: one encoder per tier, the tick that manages
// them and their bitrates, encoded frames to the sessions, keyframe and refresh requests, reference
// acknowledgements, and the stream tuning viewers may ask for. All of it runs on the server queue.
#include "sender/pipeline/SenderPipeline.h"

#include <algorithm>

#include "core/ControlMessage.h"
#include "core/Log.h"
#include "sender/pipeline/SenderStatusRows.h"
#include "sender/pipeline/TierLayout.h"
#include "sender/pipeline/TierRate.h"
#include "sender/pipeline/TierSteering.h"
#include "sender/server/SaturatingMath.h"
#include "sender/server/SenderServer.h"
#include "sender/server/SenderSession.h"

namespace kelvora {

namespace {

constexpr double keyframeMinimumIntervalMs = 250;
constexpr double refreshMinimumIntervalMs = 50;

}  // namespace

int SenderPipeline::effectiveMainBitrateKbps() const {
    return TierLayout::effectiveMainBitrateKbps(settings_, videoDimensions_, videoFrameRate_);
}

std::shared_ptr<VideoEncoder> SenderPipeline::makeEncoder(uint8_t tier,
                                                          const EncoderConfiguration& configuration) {
    auto& numbers = frameNumbers_[tier];
    if (!numbers) {
        numbers = std::make_shared<VideoEncoder::FrameNumbers>();
    }
    VideoEncoder::Options encoderOptions;
    encoderOptions.backend = options_.encoderBackend;
    encoderOptions.frameNumbers = numbers;
    // The output arrives on the encoder's thread; only the queue is held there, the pipeline is looked up
    // on the queue, so the pipeline is never released on an encoder's thread.
    auto output = [weak = weak_from_this(), queue = queue_](EncodedVideoFrame frame) {
        queue->async([weak, frame = std::move(frame)]() mutable {
            if (auto self = weak.lock()) {
                self->handleEncodedFrame(std::move(frame));
            }
        });
    };
    return std::make_shared<VideoEncoder>(tier, configuration, std::move(output), std::move(encoderOptions));
}

std::shared_ptr<VideoEncoder> SenderPipeline::encoder(uint8_t tier) const {
    return encoders_.find(tier);
}

void SenderPipeline::updateTierEncoders() {
    // Tiers run while a source runs: a settings change or a viewer while there is none starts nothing.
    if (!source_) {
        return;
    }
    TierInputs inputs;
    inputs.codec = effectiveCodec_;
    inputs.dimensions = videoDimensions_;
    inputs.frameRate = videoFrameRate_;
    inputs.proxyClientKbps = proxyClientKbps_;
    inputs.middleKbps = middleKbps_;
    const SenderSettings& settings = settings_;

    encoders_.update(settings, inputs, [this](uint8_t tier, const EncoderConfiguration& configuration) {
        return makeEncoder(tier, configuration);
    });
}

void SenderPipeline::tick() {
    tickCount_ += 1;
    if (tickCount_ % 2 == 0) {
        manageTiers();
        checkSourceHealth();
        if (tickCount_ % 4 == 0) {
            server_->broadcastTuning(currentTuning());
        }
    } else {
        const uint64_t now = options_.clock();
        bool collapsed = false;
        for (const auto& session : currentSessions()) {
            collapsed = session->checkCollapse(now) || collapsed;
        }
        if (collapsed) {
            manageTiers();
        }
    }
    publishStatus();
}

void SenderPipeline::manageTiers() {
    queue_->assertCurrent("SenderPipeline::manageTiers");
    const auto sessions = currentSessions();
    const uint64_t now = options_.clock();
    const SenderSettings& settings = settings_;
    const bool standby = settings.adaptiveBitrate && settings.hotStandbyProxy && settings.proxyStream;
    const auto proxyEncoder = encoder(TierLayout::proxyTier);
    const int proxyKbps = proxyEncoder ? proxyEncoder->configuredBitrateKbps() : 0;
    const TierPlanner::Profile profile = TierLayout::profile(settings, videoDimensions_, videoFrameRate_);

    for (const auto& session : sessions) {
        TierSteering::updateRate(*session, settings, profile, standby, now);
    }

    std::vector<TierPlanner::ClientInput> inputs;
    for (const auto& session : sessions) {
        if (!session->sink) {
            continue;
        }
        inputs.push_back(TierSteering::plannerInput(*session, proxyKbps, now));
    }

    const bool middleRunning = encoder(TierLayout::middleTier) != nullptr;
    const int mainKbps = effectiveMainBitrateKbps();
    const TierPlanner::Plan plan =
        TierPlanner::plan(inputs, mainKbps, settings.adaptiveBitrate, settings.proxyStream, middleRunning,
                          settings.mainTierEnabled, profile);
    auto upgradeBuilding = [&](uint8_t tier) {
        return std::any_of(sessions.begin(), sessions.end(), [&](const auto& session) {
            return TierSteering::buildsUpTo(*session, plan, tier);
        });
    };

    if (auto main = encoder(TierLayout::mainTier)) {
        applyTierBitrate(plan.mainKbps, *main, mainKbps, upgradeBuilding(TierLayout::mainTier));
    }
    if (auto middle = encoder(TierLayout::middleTier)) {
        const int kbps = plan.middleKbps.value_or(profile.middleMaximumKbps);
        if (settings.studioMode) {
            applyTierBitrate(kbps, *middle,
                             TierLayout::normalMainBitrateKbps(settings, videoDimensions_, videoFrameRate_),
                             upgradeBuilding(TierLayout::middleTier));
        } else if (middle->configuredBitrateKbps() != kbps) {
            middle->setBitrate(kbps);
        }
    }

    for (const auto& session : sessions) {
        TierSteering::steer(*session, plan, profile, settings.studioMode, now);
    }

    middleKbps_ = plan.middleKbps;
    if (plan.proxyClientKbps != proxyClientKbps_) {
        proxyClientKbps_ = plan.proxyClientKbps;
        updateTierEncoders();
    }
}

void SenderPipeline::applyTierBitrate(int requestedKbps, VideoEncoder& encoder, int capKbps,
                                      bool upgradeBuilding) {
    const uint8_t tier = encoder.tier();
    TierRate::Request request;
    request.tier = tier;
    request.requestedKbps = requestedKbps;
    request.capKbps = capKbps;
    request.frameRate = videoFrameRate_;
    request.currentTargetFrameRate = encoder.targetFrameRate();
    request.upgradeBuilding = upgradeBuilding;
    if (auto meter = tierMeters_.find(tier); meter != tierMeters_.end()) {
        request.measuredKbps = meter->second.rate(options_.clock()) * 8 / 1000;
    }
    const TierRate decided = TierRate::decide(settings_, request);

    const int configured = encoder.configuredBitrateKbps();
    if (decided.bitrateKbps != configured) {
        Log::bitrate().info("Stufe {}: {} → {} kbit/s", tier, configured, decided.bitrateKbps);
        encoder.setBitrate(decided.bitrateKbps);
    }
    if (decided.targetFrameRate != request.currentTargetFrameRate) {
        Log::bitrate().info(
            "Stufe {}: Bildrate → {} fps", tier,
            decided.targetFrameRate ? fmt::format("{:.0f}", *decided.targetFrameRate) : "voll");
        encoder.setTargetFrameRate(decided.targetFrameRate);
    }
}

RateLimits SenderPipeline::rateLimits() {
    const int maximum = effectiveMainBitrateKbps();
    const auto main = encoder(TierLayout::mainTier);
    return RateLimits{main ? main->configuredBitrateKbps() : maximum, rateFloorKbps, maximum};
}

bool SenderPipeline::startsOnProxy() {
    return settings_.adaptiveBitrate && settings_.proxyStream;
}

// --- delivery, keyframes, status ---

void SenderPipeline::handleEncodedFrame(EncodedVideoFrame frame) {
    const uint64_t now = options_.clock();
    const int bytes = clampedInt<int>(double(frame.dataByteCount()));
    outputMeter_.record(bytes, now);
    tierMeters_.try_emplace(frame.tier, 2.0).first->second.record(bytes, now);
    tierFrameMeters_.try_emplace(frame.tier, 2.0).first->second.record(1, now);

    const auto kind = status_.state.kind();
    if (kind == SenderStatus::State::Kind::starting || kind == SenderStatus::State::Kind::noSignal) {
        status_.state = SenderStatus::State::live();
        publishStatus();
        pushAnnouncement();
    }
    server_->deliver(frame);
    encodedFrameHandler_(std::move(frame));
}

void SenderPipeline::handleKeyframeRequest(uint8_t tier, KeyframeRequestMessage::Reason reason,
                                           std::optional<FrameNumberRange> acknowledged) {
    const auto target = encoder(tier);
    if (!target) {
        return;
    }
    using Reason = KeyframeRequestMessage::Reason;
    const double minimumInterval =
        (reason == Reason::connect || reason == Reason::formatChange) ? 0 : keyframeMinimumIntervalMs;
    const uint64_t reference = target->acknowledgedFrame();
    if (acknowledged && reference != 0 && acknowledged->contains(reference) &&
        target->requestKeyframe(std::min(minimumInterval, refreshMinimumIntervalMs))) {
        Log::encoder().debug("Refresh angefordert für Stufe {} auf Frame {}", tier, reference);
        return;
    }
    target->requestFullKeyframe(minimumInterval);
    Log::encoder().debug("Keyframe angefordert für Stufe {} ({})", tier, json::rawString(reason));
}

void SenderPipeline::handleReferenceAck(SenderSession&, const ReferenceAckMessage& ack) {
    const auto target = encoder(ack.tier);
    if (!target) {
        return;
    }
    std::optional<uint64_t> newest;
    std::optional<uint64_t> chainStart;
    for (const auto& session : currentSessions()) {
        const bool receives =
            session->tier == ack.tier || session->candidateTier == ack.tier ||
            (ack.tier == TierLayout::proxyTier && TierSteering::receivesStandbyProxy(*session));
        if (!receives) {
            continue;
        }
        auto stored = session->referenceAcks.find(ack.tier);
        if (stored == session->referenceAcks.end()) {
            continue;
        }
        newest = newest ? std::min(*newest, stored->second.newest) : stored->second.newest;
        chainStart =
            chainStart ? std::max(*chainStart, stored->second.chainStart) : stored->second.chainStart;
    }
    if (newest && chainStart && *newest >= *chainStart) {
        target->acknowledgeReference(*newest);
    }
}

void SenderPipeline::handleSessionsChanged() {
    refreshTiers();
    manageTiers();
    publishStatus();
}

// --- tuning ---

StreamTuning SenderPipeline::currentTuning() {
    StreamTuning tuning = settings_.streamTuning();
    const auto sessions = currentSessions();
    const uint64_t now = options_.clock();
    const std::map<uint8_t, std::shared_ptr<VideoEncoder>> encoders = encoders_.snapshot();
    tuning.tiers = tuningTierRows(encoders, sessions, tierFrameMeters_, now);
    return tuning;
}

void SenderPipeline::handleRemoteTuning(SenderSession& session, const StreamTuning& tuning) {
    if (settings_.remoteTuningAllowed) {
        Log::bitrate().info("{} ändert die Stream-Einstellungen", session.hello.clientName);
        if (tuningRequestHandler_.hasHandler()) {
            tuningRequestHandler_(tuning);
        } else {
            applySettings(settings_.applying(tuning));
        }
        return;
    }
    Log::bitrate().info("{} möchte Stream-Einstellungen ändern – Fernsteuerung ist aus",
                        session.hello.clientName);
    session.control->send(ControlMessage(currentTuning()));
}

void SenderPipeline::reconnectSource() {
    reconnectSource("vom Empfänger");
}

}  // namespace kelvora
