// The session's frame path: arrival, ordering, decoding, the choice of the tier on screen, and presentation
// at the playout target.
#include "receiver/session/ReceiverSession.h"

#include <algorithm>

#include "core/LatencyTrace.h"
#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "receiver/session/ClampToInt.h"

namespace kelvora {

namespace {

// "10…12", or "keine" while the orderer holds no chain.
std::string chainText(const FrameOrderer& orderer) {
    auto range = orderer.referenceRange();
    if (!range) {
        return "keine";
    }
    return std::to_string(range->first) + "…" + std::to_string(range->second);
}

long whole(double value) {
    return static_cast<long>(value);
}

}  // namespace

void ReceiverSession::handleVideoFrame(EncodedVideoFrame frame, uint64_t arrival) {
    if (ended_ || (frameFilter_ && !frameFilter_(frame))) {
        return;
    }
    const uint8_t tier = frame.tier;
    LatencyTrace::mark(LatencyStage::received, tier, frame.captureTime, arrival);
    if (!tiers_.arrive(tier, arrival).accepted) {
        return;
    }
    lastArrival_[tier] = arrival;
    framesReceived_ += 1;
    const auto bytes = static_cast<int64_t>(frame.dataByteCount());
    totalBytes_ += bytes;
    bytesMeter_.record(clampToInt(bytes), arrival);

    if (tiers_.displayTier() == tier) {
        jitter_.update(frame.encodeDoneTime, arrival);
        if (auto network = latencyMilliseconds(frame.captureTime, arrival)) {
            networkLatencyWindow_.add(*network);
        }
        if (frame.captureTime <= frame.encodeDoneTime) {
            encodeWindow_.add(static_cast<double>(frame.encodeDoneTime - frame.captureTime) / 1e6);
        }
        if (auto transfer = latencyMilliseconds(frame.encodeDoneTime, arrival)) {
            transferWindow_.add(*transfer);
        }
        std::lock_guard lock(statsMutex_);
        stats_.senderTargetKbps = clampToInt(frame.targetBitrateKbps);
    }

    auto [found, created] = orderers_.try_emplace(tier, waitTimeMs_);
    FrameOrderer& orderer = found->second;
    if (created) {
        orderer.setInOrderDelivery(engine_ && engine_->deliversInOrder());
    }
    const bool refresh = frame.isRefresh();
    if (refresh) {
        ViewerLog::player().debug("Stufe {} Refresh #{}{} auf #{}, Kette {}, wartet: {}", tier,
                                  frame.frameNumber, frame.isDisposable() ? " (weglassbar)" : "",
                                  frame.referenceFrameNumber, chainText(orderer),
                                  orderer.waitingForKeyframe());
    }
    auto actions = orderer.ingest(std::move(frame), arrival);
    if (refresh) {
        ViewerLog::player().debug("  danach Kette {}, wartet: {}", chainText(orderer),
                                  orderer.waitingForKeyframe());
    }
    handleOrdererActions(std::move(actions), tier, arrival);
}

void ReceiverSession::handleOrdererActions(std::vector<FrameOrderer::Action> actions, uint8_t tier,
                                           uint64_t time) {
    size_t lastDelivery = actions.size();
    for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i].isDelivery()) {
            lastDelivery = i;
        }
    }
    for (size_t i = 0; i < actions.size() && !ended_; ++i) {
        auto& action = actions[i];
        if (action.isDelivery()) {
            // Catching up: a frame nothing refers to is not worth decoding when a
            // newer one is right behind.
            if (i < lastDelivery && action.frame().isDisposable()) {
                framesSkippedForCatchUp_ += 1;
                continue;
            }
            if (!decoder(tier).decode(action.frame(), time)) {
                // The rest of this list continues the chain the decoder just broke off.
                int64_t refused = 0;
                for (size_t j = i; j < actions.size(); ++j) {
                    refused += actions[j].isDelivery() ? 1 : 0;
                }
                handleDecoderBacklog(tier, refused, time);
                return;
            }
        } else {
            ViewerLog::player().debug(
                "Stufe {}: Keyframe/Refresh nötig ({}), unterwegs: "
                "{}, Wartezeit {} ms",
                tier, json::rawString(action.reason()), engine_ ? engine_->framesInFlight() : -1,
                whole(waitTimeMs_));
            tiers_.restartWarmUp(tier);
            keyframeRequests_ += 1;
            // The sender refreshes from the newest frame it knows we hold: tell it now rather than at the
            // next tick, so that the refresh need not reach back further than the loss itself.
            if (action.reason() == KeyframeRequestMessage::Reason::frameLoss) {
                if (auto orderer = orderers_.find(tier); orderer != orderers_.end()) {
                    acknowledgeReferences(tier, orderer->second);
                }
            }
            send(KeyframeRequestMessage{action.reason(), tier});
        }
    }
}

VideoDecoder& ReceiverSession::decoder(uint8_t tier) {
    DecoderSlot& slot = decoders_[tier];
    if (!slot.decoder) {
        slot.serial = nextDecoderSerial_++;
        // Runs on the decoder's worker: hop to the session queue without taking
        // hold of the session there.
        slot.decoder = std::make_unique<VideoDecoder>(
            [weak = weak_from_this(), queue = queue_, tier,
             serial = slot.serial](VideoDecoder::Result result) {
                queue->async([weak, tier, serial, result = std::move(result)]() mutable {
                    if (auto self = weak.lock()) {
                        self->handleDecoderResult(tier, serial, std::move(result));
                    }
                });
            },
            decoderWorker_);
    }
    return *slot.decoder;
}

void ReceiverSession::handleDecoderResult(uint8_t tier, uint64_t serial, VideoDecoder::Result result) {
    auto slot = decoders_.find(tier);
    if (ended_ || slot == decoders_.end() || slot->second.serial != serial) {
        return;
    }
    if (auto* frame = std::get_if<DecodedFrame>(&result)) {
        handleDecodedFrame(tier, std::move(*frame));
    } else {
        handleDecoderError(tier, std::get<DecoderError>(result));
    }
}

void ReceiverSession::handleDecodedFrame(uint8_t tier, DecodedFrame decoded) {
    const uint64_t time = now();
    const FrameTiming& timing = decoded.frame;
    LatencyTrace::mark(LatencyStage::decoded, tier, timing.captureTime);
    const auto latency = latencyMilliseconds(timing.captureTime, time);

    DisplayTierSelector::DisplayFacts facts;
    facts.framesPerSecond = fpsMeter_.rate(time);
    facts.latencyMedianMs = latencyWindow_.median();
    {
        std::lock_guard lock(statsMutex_);
        facts.dimensions = stats_.dimensions;
    }
    auto routing = tiers_.route(
        {tier, timing.captureTime, latency, timing.dimensions.width, timing.dimensions.height}, facts, time);
    if (routing.switched) {
        applyTierSwitch(*routing.switched);
    }
    for (auto& message : routing.messages) {
        send(std::move(message));
    }
    if (!routing.show) {
        return;
    }

    schedulePresentation(decoded.pixelBuffer, timing.captureTime, latency);
    if (routing.gapMs) {
        longestGapMs_ = std::max(longestGapMs_, *routing.gapMs);
        if (*routing.gapMs > 150) {
            ViewerLog::player().info("Bildpause {} ms vor Frame {} (Stufe {})", whole(*routing.gapMs),
                                     timing.frameNumber, tier);
        }
    }
    framesDecoded_ += 1;
    fpsMeter_.record(1, time);
    if (latency) {
        latencyWindow_.add(*latency);
    }
    if (time >= timing.arrivalTime) {
        receiverWindow_.add(static_cast<double>(time - timing.arrivalTime) / 1e6);
    }
    {
        std::lock_guard lock(statsMutex_);
        stats_.codec = timing.codec;
        stats_.dimensions = timing.dimensions;
        stats_.isTestPattern = timing.isTestPattern;
    }
    if (!hasShownFrame_) {
        hasShownFrame_ = true;
        if (protocolAtLeast(3)) {
            send(TierReadyMessage{tier, true});
        }
        if (eventHandler_) {
            eventHandler_(FirstFrame{});
        }
    }
}

void ReceiverSession::handleDecoderError(uint8_t tier, const DecoderError& error) {
    decodeErrors_ += 1;
    if (const auto count = decoderErrorLog_.count(now())) {
        ViewerLog::decoder().error("Decoder-Fehler (Stufe {}): {} ({} seit der letzten Meldung)", tier,
                                   error.text(), *count);
    }
    tiers_.restartWarmUp(tier);
    auto orderer = orderers_.find(tier);
    if (orderer == orderers_.end()) {
        return;
    }
    orderer->second.reset();
    const uint64_t time = now();
    handleOrdererActions(orderer->second.poll(time, false), tier, time);
}

// The tier's decoder has fallen behind and refused frames: the orderer then waits for a keyframe (dropping
// what it holds and what comes until then) and the sender is asked for one, once; the orderer repeats the
// request as it does after a loss when none comes.
void ReceiverSession::handleDecoderBacklog(uint8_t tier, int64_t refused, uint64_t time) {
    ViewerLog::decoder().info("Decoder kommt nicht nach (Stufe {}): verwirft bis zum nächsten Keyframe",
                              tier);
    dropToNextKeyframe(tier, refused, time);
}

void ReceiverSession::dropToNextKeyframe(uint8_t tier, int64_t refused, uint64_t time) {
    tiers_.restartWarmUp(tier);
    if (auto orderer = orderers_.find(tier); orderer != orderers_.end()) {
        orderer->second.abandonChain(refused, time);
    }
    keyframeRequests_ += 1;
    send(KeyframeRequestMessage{KeyframeRequestMessage::Reason::decoderError, tier});
}

void ReceiverSession::applyTierSwitch(const DisplayTierSelector::TierSwitch& change) {
    if (change.retiresOld && change.from) {
        if (auto orderer = orderers_.find(*change.from); orderer != orderers_.end()) {
            orderer->second.reset();
        }
        if (auto slot = decoders_.find(*change.from); slot != decoders_.end()) {
            slot->second.decoder->invalidate();
            decoders_.erase(slot);
        }
    }
    resetMeasurementWindows();
}

void ReceiverSession::resetMeasurementWindows() {
    latencyWindow_ = SampleWindow(measurementSamples);
    networkLatencyWindow_ = SampleWindow(measurementSamples);
    encodeWindow_ = SampleWindow(measurementSamples);
    transferWindow_ = SampleWindow(measurementSamples);
    receiverWindow_ = SampleWindow(measurementSamples);
}

void ReceiverSession::schedulePresentation(PixelBuffer picture, uint64_t captureTime,
                                           std::optional<double> latencyMs) {
    std::weak_ptr<ReceiverSession> weak = weak_from_this();
    const double delayMs = PlayoutQueue::delayMs(playoutTargetMs_, latencyMs);
    PlayoutQueue::Released released;  // its timers are cancelled once the lock is let go
    std::lock_guard lock(presentationMutex_);
    if (presentation_.ended) {
        return;
    }
    PlayoutQueue::Picture shown{std::move(picture), captureTime};
    if (delayMs == 0) {
        released = presentation_.playout.showNow(std::move(shown));
    } else {
        // Held back to the playout target. The timer is armed under the lock, so that it finds its picture
        // among the waiting ones even when it fires at once.
        const uint64_t id = presentation_.nextPictureID++;
        const auto delay = std::chrono::nanoseconds(static_cast<int64_t>(delayMs * 1e6));
        auto timer = scheduler_->after(presentQueue_, delay, [weak, id] {
            if (auto self = weak.lock()) {
                self->presentWaiting(id);
            }
        });
        released = presentation_.playout.hold(id, std::move(shown), std::move(timer));
    }
    if (!released.pictures.empty()) {
        // Queued under the lock, so that a timer firing after this presents its newer pictures after these
        // (one already waiting for the lock goes first, and present() then passes over these older ones).
        presentQueue_->async([weak, pictures = std::move(released.pictures)] {
            if (auto self = weak.lock()) {
                for (const auto& picture : pictures) {
                    self->present(picture.buffer, picture.captureTime);
                }
            }
        });
    }
}

void ReceiverSession::presentWaiting(uint64_t id) {
    PlayoutQueue::Released released;
    {
        std::lock_guard lock(presentationMutex_);
        released = presentation_.playout.fired(id);
    }
    for (const auto& picture : released.pictures) {
        present(picture.buffer, picture.captureTime);
    }
}

void ReceiverSession::present(const PixelBuffer& picture, uint64_t captureTime) {
    const uint64_t time = now();
    {
        std::lock_guard lock(presentationMutex_);
        Presentation& state = presentation_;
        if (state.ended || captureTime <= state.lastCaptureTime) {
            return;
        }
        if (state.lastCaptureTime != 0 && state.lastShownAt != 0) {
            state.captureIntervals.push_back(static_cast<double>(captureTime - state.lastCaptureTime) / 1e6);
            state.displayIntervals.push_back(MonotonicClock::milliseconds(state.lastShownAt, time));
        }
        state.lastCaptureTime = captureTime;
        state.lastShownAt = time;
    }
    if (renderer_) {
        renderer_->enqueue(picture);
    }
    frameOutput(picture);
    LatencyTrace::mark(LatencyStage::presented, LatencyTrace::anyTier, captureTime);
}

std::optional<double> ReceiverSession::latencyMilliseconds(uint64_t senderTime, uint64_t time) const {
    auto latency = clock_.latencyMilliseconds(senderTime, time);
    if (latency && !isPlausibleLatency(*latency)) {
        return std::nullopt;
    }
    return latency;
}

void ReceiverSession::recordEngineDecodedFrame(uint64_t shownAt, std::optional<uint64_t> captureTime,
                                               bool fromTimecode, std::optional<VideoCodec> codec,
                                               VideoDimensions dimensions) {
    if (ended_) {
        return;
    }
    framesReceived_ += 1;
    framesDecoded_ += 1;
    fpsMeter_.record(1, shownAt);
    if (captureTime) {
        if (auto latency = latencyMilliseconds(*captureTime, shownAt)) {
            latencyWindow_.add(*latency);
        }
    }
    {
        std::lock_guard lock(statsMutex_);
        if (codec) {
            stats_.codec = codec;
        }
        if (fromTimecode) {
            stats_.isTestPattern = true;
        }
        stats_.dimensions = dimensions;
    }
    if (!hasShownFrame_) {
        hasShownFrame_ = true;
        if (eventHandler_) {
            eventHandler_(FirstFrame{});
        }
    }
}

}  // namespace kelvora
