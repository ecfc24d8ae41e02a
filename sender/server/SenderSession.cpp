#include "sender/server/SenderSession.h"

#include <algorithm>
#include <cmath>

#include "core/ControlMessage.h"
#include "core/FramedConnection.h"
#include "core/Log.h"
#include "core/WireError.h"
#include "sender/server/SaturatingMath.h"

namespace kelvora {

namespace {

// Milliseconds from `then` to `now`; a stored 0 means never, which is as long ago as it gets.
double msSince(uint64_t then, uint64_t now) {
    if (then == 0) {
        return INFINITY;
    }
    return MonotonicClock::milliseconds(then, now);
}

constexpr uint8_t kMainTier = TierPlanner::mainTier;
constexpr uint8_t kProxyTier = TierPlanner::proxyTier;
constexpr uint8_t kHighestTier = TierPlanner::proxyTier;

constexpr auto kReplacedSinkGrace = std::chrono::seconds(1);

}  // namespace

SenderSession::SenderSession(std::string token, HelloMessage hello, std::shared_ptr<FramedConnection> control,
                             EngineKind engine, RateLimits limits, bool startOnProxy, Clock clock,
                             std::chrono::system_clock::time_point connectedSince)
    : token(std::move(token)),
      hello(std::move(hello)),
      control(std::move(control)),
      engine(std::move(engine)),
      connectedSince(connectedSince),
      rateController(limits.startKbps, limits.minimumKbps, limits.maximumKbps, clock()),
      clock_(std::move(clock)) {
    const uint64_t now = rateController.startedAt;
    // Viewers before protocol 3 cannot build a tier beside the displayed one.
    if (startOnProxy && this->hello.protocolVersion >= 3) {
        tier = kProxyTier;
        candidateTier = kMainTier;
        candidateSince = now;
        lastTierChange = 0;
    } else {
        lastTierChange = now;
    }
}

SenderSession::~SenderSession() = default;

bool SenderSession::isStandbyProxy(uint8_t frameTier) const {
    return hotStandbyEnabled && hello.protocolVersion >= 4 && tier == kMainTier && frameTier == kProxyTier &&
           candidateTier != kProxyTier;
}

std::optional<NetworkEndpoint> SenderSession::remoteEndpoint() const {
    return control->remoteEndpoint();
}

std::optional<std::string> SenderSession::remoteHost() const {
    const auto endpoint = remoteEndpoint();
    return endpoint ? endpointHost(*endpoint) : std::nullopt;
}

std::optional<uint8_t> SenderSession::standbyTier() const {
    return isStandbyProxy(kProxyTier) ? std::optional<uint8_t>(kProxyTier) : std::nullopt;
}

// ---------------------------------------------------------------------------------------------------------
// Frame delivery

void SenderSession::deliver(const EncodedVideoFrame& frame, const SharedBytes& message) {
    const uint64_t now = clock_();

    // A candidate reported provisionally ready is shown once it has held up for a second.
    if (provisionalReadySince && candidateTier &&
        MonotonicClock::milliseconds(*provisionalReadySince, now) > 1000.0) {
        showTier(*candidateTier);
    }

    const uint8_t frameTier = frame.tier;
    bool isStandbyFrame = false;
    if (frameTier != tier && candidateTier != frameTier) {
        if (!isStandbyProxy(frameTier)) {
            return;
        }
        isStandbyFrame = true;
    }

    if (pendingSink && pendingSink->isConnected()) {
        switchToPendingSink(frameTier);
    }

    // The local reference keeps the sink alive whatever the calls below do to the field.
    const std::shared_ptr<MediaSink> current = sink;
    if (!current || !current->isConnected() || current->isPassthrough()) {
        return;
    }

    if (exceedsFrameRateLimit(frame)) {
        if (auto entry = delivery_.find(frameTier); entry != delivery_.end()) {
            entry->second.lastDroppableSeen = frame.frameNumber;
        }
        return;
    }

    if (isStandbyFrame) {
        deliverStandbyFrame(frame, message, *current, now);
        return;
    }

    const uint8_t displayed = tier;
    if (frameTier == displayed) {
        const auto entry = delivery_.find(displayed);
        if ((entry != delivery_.end() && entry->second.started) || frame.isKeyframe()) {
            offeredBytesMeter.record(static_cast<int>(message->size()), now);
            framesOfferedSinceUpdate += 1;
        }
    }

    // Upgrade watchdog: while a better tier is being built, the displayed one must keep flowing. If its
    // frames pile up without a keyframe to explain it, the extra tier is more than the path can carry.
    if (candidateTier && *candidateTier < displayed) {
        const auto entry = delivery_.find(displayed);
        if (entry != delivery_.end() && !entry->second.waitingForKeyframe &&
            !current->hasKeyframeInFlightForTier(displayed)) {
            const double age = current->oldestInFlightAge(displayed);
            if (age > 90.0) {
                abortTierSwitch(
                    true, "angezeigte Stufe verzögert (" + std::to_string(clampedInt<int64_t>(age)) + " ms)");
                if (frameTier != displayed) {
                    return;
                }
            }
        }
    }

    const SinkCongestion congestion = current->congestionForTier(frameTier);
    if (current->hasKeyframeInFlight()) {
        lastKeyframeInFlight = now;
    }

    // The fallback stream is what the viewer keeps if the switch fails: the displayed tier while upgrading,
    // the candidate while downgrading, and everything when no switch runs. The leaving stream is the
    // displayed tier while downgrading.
    const std::optional<uint8_t> candidate = candidateTier;
    const bool fallback = !candidate || ((frameTier == displayed) == (*candidate < displayed));
    const bool leaving = frameTier == displayed && candidate && *candidate > displayed;

    TierDelivery entry;
    if (auto found = delivery_.find(frameTier); found != delivery_.end()) {
        entry = found->second;
    }
    if (entry.waitingForKeyframe) {
        deliverWaiting(entry, frame, message, *current, congestion, fallback, leaving, now);
    } else {
        deliverFlowing(entry, frame, message, *current, congestion, fallback, leaving, now);
    }

    if (frameTier == tier || candidateTier == frameTier) {
        delivery_[frameTier] = entry;
    }
}

void SenderSession::deliverWaiting(TierDelivery& entry, const EncodedVideoFrame& frame,
                                   const SharedBytes& message, MediaSink& current, SinkCongestion congestion,
                                   bool fallback, bool leaving, uint64_t now) {
    const uint8_t frameTier = frame.tier;
    const uint8_t displayed = tier;
    const bool fits = refreshFitsChain(frame);
    if (frame.isRefresh() && !fits) {
        Log::network().debug("Refresh #{} auf #{} passt nicht zur Kette {}", frame.frameNumber,
                             frame.referenceFrameNumber, acknowledgedRangeText(frame));
    }

    const bool endsWait = frame.isKeyframe() || (entry.started && fits);
    if (!endsWait) {
        entry.droppedSinceKeyframe += 1;
        if (entry.started && fallback) {
            framesDroppedBySender += 1;
            if (frameTier == displayed) {
                primaryDropsSinceUpdate += 1;
            }
        }
        if (!leaving && !current.hasKeyframeInFlightForTier(frameTier)) {
            requestKeyframe(KeyframeRequestMessage::Reason::frameLoss, frameTier);
        }
        return;
    }

    // A displayed tier that had to wait for a keyframe while an upgrade was being built shows that the path
    // cannot carry both.
    auto upgradeCheck = [&] {
        if (candidateTier && *candidateTier < displayed && entry.started && entry.droppedSinceKeyframe >= 1) {
            abortTierSwitch(true, "angezeigte Stufe braucht Keyframe");
        }
    };

    if (fallback) {
        current.cancelTier(frameTier);
        if (frameTier == displayed) {
            upgradeCheck();
        }
        release(entry, frame, message, current, now);
        return;
    }
    if (congestion != SinkCongestion::none) {
        entry.droppedSinceKeyframe += 1;
        return;
    }
    if (frameTier == displayed) {
        current.cancelTier(frameTier);
        upgradeCheck();
        release(entry, frame, message, current, now);
        return;
    }
    // A candidate keyframe of an upgrade starts only while the displayed tier flows freely.
    if (current.congestionForTier(displayed) != SinkCongestion::none) {
        entry.droppedSinceKeyframe += 1;
        return;
    }
    current.cancelTier(frameTier);
    release(entry, frame, message, current, now);
}

void SenderSession::deliverFlowing(TierDelivery& entry, const EncodedVideoFrame& frame,
                                   const SharedBytes& message, MediaSink& current, SinkCongestion congestion,
                                   bool fallback, bool leaving, uint64_t now) {
    const uint8_t frameTier = frame.tier;
    const uint8_t displayed = tier;

    bool otherCongested = false;
    if (frameTier != displayed) {
        otherCongested = current.congestionForTier(displayed) != SinkCongestion::none;
    } else if (candidateTier) {
        otherCongested = current.congestionForTier(*candidateTier) != SinkCongestion::none;
    }

    // The stream that is not the fallback yields first.
    if (!fallback && (congestion != SinkCongestion::none || otherCongested)) {
        entry.droppedSinceKeyframe += 1;
        if (!frame.isDisposable()) {
            entry.waitingForKeyframe = true;
            if (!leaving) {
                requestKeyframe(KeyframeRequestMessage::Reason::frameLoss, frameTier);
            }
        }
        return;
    }

    if (frame.isDisposable()) {
        entry.lastDroppableSeen = frame.frameNumber;
        if (congestion != SinkCongestion::none && !frame.isRefresh()) {
            // Nothing references it: dropping it costs the viewer one picture and no wait.
            framesDroppedBySender += 1;
            if (frameTier == displayed) {
                primaryDropsSinceUpdate += 1;
            }
            countCongestionEvent(current, now);
            return;
        }
    }

    // With temporal layering the encoder interleaves disposable frames; a reference frame close behind one
    // may still pass moderate congestion, since the next disposable frames will be dropped in its place. A
    // tier whose numbering restarted (a rebuilt encoder) has numbers below the remembered one: not recent.
    const bool recent = entry.lastDroppableSeen != 0 && frame.frameNumber >= entry.lastDroppableSeen &&
                        frame.frameNumber - entry.lastDroppableSeen < 4;

    if (congestion == SinkCongestion::severe ||
        (congestion == SinkCongestion::moderate && !frame.isKeyframe() && !recent)) {
        framesDroppedBySender += 1;
        if (frameTier == displayed) {
            primaryDropsSinceUpdate += 1;
        }
        entry.droppedSinceKeyframe += 1;
        countCongestionEvent(current, now);
        entry.waitingForKeyframe = true;
        if (!current.hasKeyframeInFlightForTier(frameTier)) {
            requestKeyframe(KeyframeRequestMessage::Reason::frameLoss, frameTier);
        }
        Log::network().debug("Stau bei {}: Frame verworfen, warte auf Keyframe", hello.clientName);
        return;
    }
    sendFrame(frame, message, current, now);
}

void SenderSession::deliverStandbyFrame(const EncodedVideoFrame& frame, const SharedBytes& message,
                                        MediaSink& current, uint64_t now) {
    TierDelivery entry;
    if (auto found = delivery_.find(kProxyTier); found != delivery_.end()) {
        entry = found->second;
    }
    const SinkCongestion congestion = current.congestionForTier(kProxyTier);

    auto requestUnlessKeyframeInFlight = [&] {
        if (!current.hasKeyframeInFlightForTier(kProxyTier)) {
            requestKeyframe(KeyframeRequestMessage::Reason::frameLoss, kProxyTier);
        }
    };

    if (entry.waitingForKeyframe) {
        if (frame.isKeyframe() || (entry.started && refreshFitsChain(frame))) {
            current.cancelTier(kProxyTier);
            release(entry, frame, message, current, now);
        } else {
            entry.droppedSinceKeyframe += 1;
            requestUnlessKeyframeInFlight();
        }
    } else if (frame.isDisposable() && !frame.isRefresh() && congestion != SinkCongestion::none) {
        // The standby only bridges gaps; a thinned frame rate does no harm.
    } else if (congestion == SinkCongestion::severe) {
        entry.droppedSinceKeyframe += 1;
        requestUnlessKeyframeInFlight();
        entry.waitingForKeyframe = true;
    } else {
        sendFrame(frame, message, current, now);
    }
    delivery_[kProxyTier] = entry;
}

void SenderSession::release(TierDelivery& entry, const EncodedVideoFrame& frame, const SharedBytes& message,
                            MediaSink& current, uint64_t now) {
    entry.waitingForKeyframe = false;
    entry.started = true;
    if (entry.droppedSinceKeyframe >= 1) {
        sendMarkedSkipped(frame, current, now);
        entry.droppedSinceKeyframe = 0;
    } else {
        sendFrame(frame, message, current, now);
    }
}

void SenderSession::sendFrame(const EncodedVideoFrame& frame, const SharedBytes& message, MediaSink& current,
                              uint64_t now) {
    current.send(frame, message);
    lastSentCapture[frame.tier] = frame.captureTime;
    framesSent += 1;
    sentBytesMeter.record(static_cast<int>(message->size()), now);
}

void SenderSession::sendMarkedSkipped(const EncodedVideoFrame& frame, MediaSink& current, uint64_t now) {
    EncodedVideoFrame marked = frame;
    marked.flags.insert(EncodedVideoFrame::Flags::senderSkipped);
    SharedBytes bytes;
    try {
        bytes = std::make_shared<const Bytes>(ControlMessage(marked).encoded());
    } catch (const WireError& error) {
        // The same frame encoded once already, so this cannot really fail; the tier counts as released
        // anyway.
        Log::network().error("Frame #{} für {} nicht neu kodierbar: {}", frame.frameNumber, hello.clientName,
                             error.text());
        return;
    }
    sendFrame(marked, bytes, current, now);
}

void SenderSession::countCongestionEvent(MediaSink& current, uint64_t now) {
    // Congestion right behind a keyframe is the keyframe's size, not the path's capacity.
    if (!current.hasKeyframeInFlight() && msSince(lastKeyframeInFlight, now) >= 150.0) {
        congestionEventsSinceUpdate += 1;
    }
}

bool SenderSession::refreshFitsChain(const EncodedVideoFrame& frame) const {
    if (!frame.isRefresh()) {
        return false;
    }
    const auto ack = referenceAcks.find(frame.tier);
    return ack != referenceAcks.end() && ack->second.chainStart <= frame.referenceFrameNumber &&
           frame.referenceFrameNumber <= ack->second.newest;
}

bool SenderSession::exceedsFrameRateLimit(const EncodedVideoFrame& frame) const {
    if (receiverMaxFps < 1 || !frame.isDisposable() || frame.isKeyframe() || frame.isRefresh()) {
        return false;
    }
    const auto lastSent = lastSentCapture.find(frame.tier);
    if (lastSent == lastSentCapture.end() || frame.captureTime <= lastSent->second) {
        return false;
    }
    const double intervalNs = static_cast<double>(frame.captureTime - lastSent->second);
    return intervalNs < 0.85 * 1e9 / receiverMaxFps;
}

std::string SenderSession::acknowledgedRangeText(const EncodedVideoFrame& frame) const {
    const auto ack = referenceAcks.find(frame.tier);
    if (ack == referenceAcks.end()) {
        return "keine";
    }
    return std::to_string(ack->second.chainStart) + "…" + std::to_string(ack->second.newest);
}

void SenderSession::switchToPendingSink(uint8_t frameTier) {
    std::shared_ptr<MediaSink> next = std::move(pendingSink);
    pendingSink.reset();
    if (sink && sink->isConnected()) {
        // The old channel still delivers what it has in flight; it goes a second later.
        retire(std::move(sink));
        sink = std::move(next);
    } else {
        if (sink) {
            sink->close();
        }
        sink = std::move(next);
        for (auto& [_, entry] : delivery_) {
            entry.waitingForKeyframe = true;
        }
        requestKeyframe(KeyframeRequestMessage::Reason::frameLoss, frameTier);
    }
    Log::network().info("Medienkanal gewechselt: {}", hello.clientName);
}

void SenderSession::retire(std::shared_ptr<MediaSink> old) {
    std::erase_if(retiring_, [](const RetiringSink& entry) { return !entry.closeTimer.isActive(); });
    Timer timer = control->queue().after(kReplacedSinkGrace, [old] { old->close(); });
    retiring_.push_back(RetiringSink{std::move(old), std::move(timer)});
}

void SenderSession::closeRetiringSinks() {
    for (RetiringSink& entry : retiring_) {
        if (entry.closeTimer.isActive()) {
            entry.closeTimer.cancel();
            entry.sink->close();
        }
    }
    retiring_.clear();
}

// ---------------------------------------------------------------------------------------------------------
// Tier switching

void SenderSession::beginParallelTierBuild(uint8_t target) {
    if (target > kHighestTier || target == tier || candidateTier == target) {
        return;
    }
    const uint64_t now = clock_();
    if (hello.protocolVersion < 3) {
        showTier(target);
        delivery_[target] = TierDelivery{};
        requestKeyframe(KeyframeRequestMessage::Reason::formatChange);
        return;
    }
    if (candidateTier) {
        abortTierSwitch(false, "neuer Wechsel");
    }
    // The standby proxy may already be flowing: a step down to it needs no new keyframe. Checked before the
    // candidate is set, while the proxy still counts as standby.
    const auto proxyEntry = delivery_.find(kProxyTier);
    const bool reusesStandby = hello.protocolVersion >= 4 && hotStandbyEnabled && tier == kMainTier &&
                               target == kProxyTier && proxyEntry != delivery_.end() &&
                               proxyEntry->second.started;
    candidateTier = target;
    candidateSince = now;
    if (!reusesStandby) {
        delivery_[target] = TierDelivery{};
        requestKeyframe(KeyframeRequestMessage::Reason::formatChange, target);
    }
    if (tier < target) {
        PreferTierMessage prefer;
        prefer.tier = target;
        control->send(ControlMessage(prefer));
    }
    Log::bitrate().info("{}: baue Stufe {} parallel auf", hello.clientName, target);
}

void SenderSession::showTier(uint8_t next) {
    if (next > kHighestTier) {
        return;
    }
    const uint64_t now = clock_();
    provisionalReadySince.reset();
    const uint8_t old = tier;
    if (old < next) {
        // A step down soon after climbing means the climb was premature: wait longer next time.
        const double elapsed = msSince(lastReturnFromProxy, now);
        if (lastReturnFromProxy != 0 && elapsed < 20000) {
            proxyReturnHoldMs = std::min(2 * proxyReturnHoldMs, 30000.0);
        } else if (elapsed > 60000) {
            proxyReturnHoldMs = 4000;
        }
    } else {
        lastReturnFromProxy = now;
        const int cap = next == kMainTier ? saturatingAdd(tierProfile.mainProbeKbps, 1000)
                                          : saturatingAdd(tierProfile.middleProbeKbps, 500);
        rateController.limitEstimate(cap);
    }
    tier = next;
    candidateTier.reset();
    lastTierChange = now;
    isBridging = false;

    // Showing the tier already displayed must not throw away its running state.
    const bool oldBecomesStandby =
        hotStandbyEnabled && hello.protocolVersion >= 4 && next == kMainTier && old == kProxyTier;
    if (old != next && !oldBecomesStandby) {
        delivery_.erase(old);
        if (sink) {
            sink->cancelTier(old);
        }
    }
    Log::bitrate().info("{} zeigt jetzt Stufe {}", hello.clientName, next);
}

void SenderSession::abortTierSwitch(bool failed, const std::string& reason) {
    if (!candidateTier) {
        return;
    }
    const uint64_t now = clock_();
    const uint8_t candidate = *candidateTier;
    provisionalReadySince.reset();
    candidateTier.reset();

    const bool candidateIsStandby =
        hotStandbyEnabled && hello.protocolVersion >= 4 && tier == kMainTier && candidate == kProxyTier;
    if (!candidateIsStandby) {
        delivery_.erase(candidate);
        if (sink) {
            sink->cancelTier(candidate);
        }
    }
    if (failed && candidate < tier) {
        if (hadUpgradeAttempt) {
            proxyReturnHoldMs = std::min(2 * proxyReturnHoldMs, 30000.0);
        }
        hadUpgradeAttempt = true;
        lastFailedUpgrade = now;
        rateController.probeFailed(now);
    }
    Log::bitrate().info("{}: Wechsel zu Stufe {} abgebrochen: {}", hello.clientName, candidate, reason);
}

// ---------------------------------------------------------------------------------------------------------
// The viewer's messages

void SenderSession::handleTierReady(uint8_t readyTier, bool provisional) {
    if (readyTier == tier) {
        provisionalReadySince.reset();
        return;
    }
    if (readyTier > kHighestTier) {
        return;
    }
    if (provisional && candidateTier == readyTier) {
        provisionalReadySince = clock_();
        return;
    }
    if (candidateTier != readyTier) {
        delivery_.try_emplace(readyTier);
    }
    showTier(readyTier);
}

void SenderSession::requestKeyframe(KeyframeRequestMessage::Reason reason,
                                    std::optional<uint8_t> requestedTier) {
    const uint8_t target = requestedTier.value_or(tier);
    if (target != tier && candidateTier != target && !isStandbyProxy(target)) {
        return;
    }
    const uint64_t now = clock_();
    // A candidate of an upgrade costs bandwidth the path may not have; ask for it sparingly.
    const bool buildingUpgrade = candidateTier == target && *candidateTier < tier;
    const double intervalMs = buildingUpgrade ? 1000.0 : 50.0;
    if (const auto last = lastKeyframeRequests_.find(target);
        last != lastKeyframeRequests_.end() && last->second != 0 &&
        MonotonicClock::milliseconds(last->second, now) <= intervalMs) {
        return;
    }
    lastKeyframeRequests_[target] = now;

    std::optional<FrameNumberRange> acknowledged;
    if (reason == KeyframeRequestMessage::Reason::frameLoss) {
        if (const auto ack = referenceAcks.find(target);
            ack != referenceAcks.end() && ack->second.chainStart <= ack->second.newest) {
            acknowledged = FrameNumberRange{ack->second.chainStart, ack->second.newest};
        }
    }
    if (keyframeRequester) {
        keyframeRequester(target, reason, acknowledged);
    }
}

void SenderSession::handleStandbyBridge(bool active, uint8_t /*tier: the bridge is always the proxy*/) {
    if (active && !isBridging) {
        bridgeCount = saturatingAdd<int64_t>(bridgeCount, 1);
    }
    isBridging = active;
    Log::bitrate().info("{}: Überbrückung mit Proxy {}", hello.clientName, active ? "aktiv" : "beendet");
}

void SenderSession::handleFrameRateLimit(uint16_t maxFps) {
    receiverMaxFps = maxFps;
    Log::bitrate().info("{}: Bildraten-Grenze {}", hello.clientName,
                        maxFps == 0 ? std::string("aufgehoben") : std::to_string(maxFps) + " fps");
}

void SenderSession::recordReport(const ReceiverReportMessage& report) {
    lastReport = report;
    unconsumedReport = report;
    receiverLostTotal = saturatingAdd<int64_t>(receiverLostTotal, nonNegative<int64_t>(report.framesLost));
    receiverDroppedTotal =
        saturatingAdd<int64_t>(receiverDroppedTotal, nonNegative<int64_t>(report.framesDropped));
    receiverDroppedTotal =
        saturatingAdd<int64_t>(receiverDroppedTotal, nonNegative<int64_t>(report.framesLate));
}

bool SenderSession::handleReferenceAck(const ReferenceAckMessage& ack) {
    if (ack.tier > kHighestTier) {
        return false;
    }
    if (ack.newest == 0) {
        referenceAcks.erase(ack.tier);
    } else {
        referenceAcks[ack.tier] = ack;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Rate

bool SenderSession::checkCollapse(uint64_t now) {
    const std::shared_ptr<MediaSink> current = sink;
    if (!current || !current->isConnected()) {
        return false;
    }
    const auto entry = delivery_.find(tier);
    if (entry == delivery_.end() || !entry->second.started ||
        current->congestionForTier(tier) == SinkCongestion::none) {
        return false;
    }
    const std::optional<double> acked = current->ackedKbps(1000.0);
    if (!acked) {
        return false;
    }
    const int offered = clampedInt<int>(offeredBytesMeter.rate(now) * 8 / 1000);
    if (offered <= 1000) {
        return false;
    }
    if (!(offered * 0.5 > *acked && 0.6 * rateController.estimateKbps > *acked)) {
        return false;
    }
    Log::bitrate().info("{}: Einbruch – bestätigt {} von {} kbit/s", hello.clientName,
                        clampedInt<int64_t>(*acked), offered);
    rateController.confirmCollapse(clampedInt<int>(*acked * 0.85), now);
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Media channel

void SenderSession::prepareMediaChannelSwitch(std::shared_ptr<MediaSink> next) {
    control->queue().assertCurrent("SenderSession::prepareMediaChannelSwitch");
    if (sink && sink->isConnected() && next != sink) {
        if (pendingSink && pendingSink != next) {
            pendingSink->close();
        }
        pendingSink = std::move(next);
        Log::network().info("Medienkanal-Wechsel vorbereitet: {}", hello.clientName);
        return;
    }
    attachMediaSink(std::move(next));
}

void SenderSession::attachMediaSink(std::shared_ptr<MediaSink> next) {
    control->queue().assertCurrent("SenderSession::attachMediaSink");
    if (pendingSink) {
        if (pendingSink != next) {
            pendingSink->close();
        }
        pendingSink.reset();
    }
    if (sink && sink != next) {
        sink->close();
    }
    sink = std::move(next);
    delivery_.clear();
    lastKeyframeRequests_.clear();
    requestKeyframe(KeyframeRequestMessage::Reason::connect);
    if (candidateTier) {
        candidateSince = clock_();
        requestKeyframe(KeyframeRequestMessage::Reason::connect, candidateTier);
    }
    Log::network().info("Medienkanal verbunden: {} ({})", hello.clientName, engine.description());
}

void SenderSession::close(std::optional<std::string> reason) {
    if (pendingSink) {
        pendingSink->close();
        pendingSink.reset();
    }
    if (sink) {
        sink->close();
        sink.reset();
    }
    closeRetiringSinks();
    control->close(std::move(reason));
}

// ---------------------------------------------------------------------------------------------------------
// Status

ClientStatus SenderSession::clientStatus() const {
    const uint64_t now = clock_();
    ClientStatus status;
    status.id = token;
    status.name = hello.clientName;
    status.deviceModel = hello.deviceModel;
    const auto endpoint = remoteEndpoint();
    status.address = endpoint ? describeEndpoint(*endpoint) : "–";
    status.engine = engine;
    status.tier = tier;
    status.candidateTier = candidateTier;
    status.isBridging = isBridging;
    status.bridgeCount = bridgeCount;
    status.hasStandby = standbyTier().has_value();
    status.receiverMaxFps = receiverMaxFps;
    status.isMediaConnected = sink && sink->isConnected();
    status.connectedSince = connectedSince;
    status.estimateKbps = rateController.estimateKbps;
    // RateMeter prunes as it answers, so the status reads a copy.
    RateMeter sent = sentBytesMeter;
    status.sentKbps = clampedInt<int>(sent.rate(now) * 8 / 1000);
    status.latencyMs = lastReport ? lastReport->latencyMedianMs : -1;
    status.rttMs = lastReport ? lastReport->rttMs : -1;
    status.framesDroppedBySender = framesDroppedBySender;
    status.framesLostAtReceiver = receiverLostTotal;
    status.framesDroppedAtReceiver = receiverDroppedTotal;
    return status;
}

}  // namespace kelvora
