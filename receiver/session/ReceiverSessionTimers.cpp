// The session's timers: clock synchronisation with the watch for a silent sender, the orderers' tick,
// reference acknowledgements, the report and the frame-rate decision once a second, and the statistics the
// owner reads.
#include "receiver/session/ReceiverSession.h"

#include <algorithm>

#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "receiver/session/ClampToInt.h"

namespace kelvora {

using std::chrono::milliseconds;

void ReceiverSession::startTimers() {
    auto every = [this](milliseconds interval, std::function<void(ReceiverSession&)> work) {
        timers_.push_back(scheduler_->every(queue_, interval, [weak = weak_from_this(), work] {
            auto self = weak.lock();
            if (self && !self->ended_) {
                work(*self);
            }
        }));
    };
    // The first five requests go out 0.1 s apart, then one a second.
    auto tick = std::make_shared<int>(0);
    every(milliseconds(100), [tick](ReceiverSession& self) { self.timeSyncTick(++*tick); });
    every(milliseconds(5), [](ReceiverSession& self) { self.ordererTick(); });
    every(milliseconds(50), [](ReceiverSession& self) { self.referenceAckTick(); });
    every(milliseconds(1000), [](ReceiverSession& self) { self.reportTick(); });
    every(milliseconds(250), [](ReceiverSession& self) { self.statisticsTick(); });
}

void ReceiverSession::timeSyncTick(int tick) {
    if (endIfSenderSilent(now())) {
        return;
    }
    if (tick <= 5 || tick % 10 == 0) {
        TimeSyncRequest request;
        request.clientSendTime = now();
        send(request);
    }
}

bool ReceiverSession::endIfSenderSilent(uint64_t time) {
    // The tick runs every 100 ms; one that comes far later did not run meanwhile, nor did the reading of the
    // connection, which the queue has not yet reached. The silence is judged from what has been read, so the
    // time the session stood still moves the last word heard forward.
    if (lastTimeSyncTickAt_ != 0 && MonotonicClock::milliseconds(lastTimeSyncTickAt_, time) >
                                        static_cast<double>(ownStallLimit.count())) {
        lastHeardAt_ = std::min(time, lastHeardAt_ + (time - lastTimeSyncTickAt_));
    }
    lastTimeSyncTickAt_ = time;
    const double silentMs = MonotonicClock::milliseconds(lastHeardAt_, time);
    if (silentMs < static_cast<double>(silenceLimit.count())) {
        return false;
    }
    ViewerLog::player().error("Sender antwortet nicht mehr: seit {} ms nichts empfangen",
                              static_cast<long>(silentMs));
    end(std::make_exception_ptr(ReceiverError::connectTimeout()), true);
    return true;
}

void ReceiverSession::ordererTick() {
    const uint64_t time = now();
    const bool inFlight = engine_ && engine_->framesInFlight() > 0;
    // Tiers that have stopped arriving are left alone; the display tier is always
    // watched.
    std::vector<uint8_t> due;
    for (const auto& [tier, orderer] : orderers_) {
        auto arrival = lastArrival_.find(tier);
        const bool recent =
            arrival != lastArrival_.end() && MonotonicClock::milliseconds(arrival->second, time) < 1000;
        if (tiers_.displayTier() == tier || recent) {
            due.push_back(tier);
        }
    }
    for (uint8_t tier : due) {
        auto found = orderers_.find(tier);
        if (found == orderers_.end() || ended_) {
            continue;
        }
        handleOrdererActions(found->second.poll(time, inFlight), tier, time);
    }
}

void ReceiverSession::referenceAckTick() {
    for (const auto& [tier, orderer] : orderers_) {
        acknowledgeReferences(tier, orderer);
    }
}

void ReceiverSession::acknowledgeReferences(uint8_t tier, const FrameOrderer& orderer) {
    if (!protocolAtLeast(3)) {
        return;
    }
    const auto range = orderer.referenceRange().value_or(std::pair<uint64_t, uint64_t>{0, 0});
    auto last = lastReferenceAck_.find(tier);
    if (range == std::pair<uint64_t, uint64_t>{0, 0} && last == lastReferenceAck_.end()) {
        return;
    }
    const ReferenceAckMessage ack{tier, range.first, range.second};
    if (last != lastReferenceAck_.end() && last->second == ack) {
        return;
    }
    lastReferenceAck_[tier] = ack;
    send(ack);
}

void ReceiverSession::reportTick() {
    const uint64_t time = now();
    const double rtt = clock_.minimumRttMilliseconds();
    if (rtt >= 0) {
        waitTimeMs_ = std::min(std::max(2 * rtt + 15, 25.0), 60.0);
        for (auto& [tier, orderer] : orderers_) {
            orderer.setMaximumWaitMs(waitTimeMs_);
        }
    }

    sendReceiverReport(time);

    const double gap = std::exchange(longestGapMs_, 0);
    evaluateFrameRateLimit(gap, time);
    playoutTargetMs_ = playoutTargetMs(smoothingEnabled_, clock_.isSynchronized(), latencyWindow_);

    double smoothingDelay = 0;
    if (auto median = latencyWindow_.median(); playoutTargetMs_ && median) {
        smoothingDelay = std::max(0.0, *playoutTargetMs_ - *median);
    }
    std::vector<double> captureIntervals;
    std::vector<double> displayIntervals;
    {
        std::lock_guard lock(presentationMutex_);
        captureIntervals.swap(presentation_.captureIntervals);
        displayIntervals.swap(presentation_.displayIntervals);
    }
    const double sourceJitter = populationStandardDeviation(captureIntervals);
    const double displayJitter = populationStandardDeviation(displayIntervals);
    std::lock_guard lock(statsMutex_);
    stats_.longestFrameGapMs = gap;
    stats_.sourceCadenceJitterMs = sourceJitter;
    stats_.displayCadenceJitterMs = displayJitter;
    stats_.smoothingDelayMs = smoothingDelay;
}

void ReceiverSession::sendReceiverReport(uint64_t time) {
    ReceiverReportMessage report;
    report.intervalMs = clampToInt(static_cast<int64_t>(time - lastReportTime_) / 1'000'000);
    report.framesReceived = framesReceived_ - lastReportReceived_;
    report.framesDecoded = framesDecoded_ - lastReportDecoded_;
    if (auto tier = tiers_.displayTier()) {
        if (auto orderer = orderers_.find(*tier); orderer != orderers_.end()) {
            const auto& current = orderer->second.counters();
            auto previous = lastReportCounters_.find(*tier);
            const FrameOrderer::Counters before =
                previous == lastReportCounters_.end() ? FrameOrderer::Counters{} : previous->second;
            report.framesDropped = clampToInt(current.dropped - before.dropped);
            report.framesLost = clampToInt(current.lost - before.lost);
            report.framesLate = clampToInt(current.late - before.late);
        }
    }
    report.bytesReceived = totalBytes_ - lastReportBytes_;
    report.latencyMedianMs = latencyWindow_.median().value_or(-1);
    report.latencyP95Ms = latencyWindow_.p95().value_or(-1);
    report.jitterMs = jitter_.jitterMs();
    report.rttMs = clock_.lastRttMilliseconds();
    report.decodeErrors = decodeErrors_ - lastReportDecodeErrors_;

    lastReportTime_ = time;
    for (const auto& [tier, orderer] : orderers_) {
        lastReportCounters_[tier] = orderer.counters();
    }
    lastReportReceived_ = framesReceived_;
    lastReportDecoded_ = framesDecoded_;
    lastReportBytes_ = totalBytes_;
    lastReportDecodeErrors_ = decodeErrors_;
    send(report);
}

void ReceiverSession::evaluateFrameRateLimit(double longestGapMs, uint64_t time) {
    if (!protocolAtLeast(4) || FrameRateLimiter::switchedOffByEnvironment() || !tiers_.displayTier()) {
        return;
    }
    FrameRateLimiter::Inputs inputs;
    inputs.framesPerSecond = fpsMeter_.rate(time);
    inputs.receiverMedianMs = receiverWindow_.median();
    inputs.transferMedianMs = transferWindow_.median();
    inputs.longestGapMs = longestGapMs;
    inputs.bridging = tiers_.isBridging();
    auto change = frameRateLimiter_.evaluate(inputs, time);
    if (!change) {
        return;
    }
    send(FrameRateLimitMessage{static_cast<uint16_t>(change->maxFps)});
    {
        std::lock_guard lock(statsMutex_);
        stats_.requestedMaxFps = change->maxFps;
    }
    ViewerLog::player().info(
        "Bildraten-Grenze {}: {}",
        change->maxFps == 0 ? std::string("aufgehoben") : std::to_string(change->maxFps) + " fps",
        change->reason);
}

void ReceiverSession::statisticsTick() {
    const uint64_t time = now();
    FrameOrderer::Counters sums;
    for (const auto& [tier, orderer] : orderers_) {
        const auto& counters = orderer.counters();
        sums.lost += counters.lost;
        sums.dropped += counters.dropped;
        sums.late += counters.late;
        sums.skippedBySender += counters.skippedBySender;
    }
    const double fps = fpsMeter_.rate(time);
    const double kbps = bytesMeter_.rate(time) * 8 / 1000;
    const double minimumRtt = clock_.minimumRttMilliseconds();

    std::lock_guard lock(statsMutex_);
    stats_.framesPerSecond = fps;
    stats_.receivedKbps = kbps;
    stats_.latencyMs = latencyWindow_.median();
    stats_.latencyP95Ms = latencyWindow_.p95();
    stats_.networkLatencyMs = networkLatencyWindow_.median();
    stats_.encodeMs = encodeWindow_.median();
    stats_.transferMs = transferWindow_.median();
    stats_.receiverMs = receiverWindow_.median();
    stats_.rttMs = minimumRtt < 0 ? std::nullopt : std::optional<double>(minimumRtt);
    stats_.jitterMs = jitter_.jitterMs();
    stats_.isClockSynchronized = clock_.isSynchronized();
    stats_.bridgeCount = tiers_.bridgeCount();
    stats_.bridgedMs = tiers_.bridgedMs(time);
    stats_.isBridging = tiers_.isBridging();
    stats_.framesReceived = framesReceived_;
    stats_.framesDecoded = framesDecoded_;
    stats_.decodeErrors = decodeErrors_;
    stats_.keyframeRequests = keyframeRequests_;
    stats_.framesLost = clampToInt(sums.lost);
    stats_.framesDropped = clampToInt(sums.dropped);
    stats_.framesLate = clampToInt(sums.late);
    stats_.framesSkippedBySender = clampToInt(sums.skippedBySender + framesSkippedForCatchUp_);
}

}  // namespace kelvora
