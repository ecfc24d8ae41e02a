#include "receiver/session/DisplayTierSelector.h"

#include <algorithm>

#include "core/Log.h"
#include "core/MonotonicClock.h"

namespace kelvora {

namespace {

constexpr double warmUpRestartMs = 300;  // a candidate pausing longer starts its warm-up over
constexpr double recentMs = 500;
constexpr double displayIdleMs = 300;  // with the display idle this long any candidate takes over
constexpr double smallerCandidateMs = 120;
constexpr double minimumWarmUpMs = 400;
constexpr size_t minimumRecent = 12;
constexpr double largestRecentGapMs = 100;
// The warm-up's counts were made for 24 fps and more: twelve pictures in half a second, gaps of at most
// 2.4 intervals, a restart after seven. A tier that runs slower (a 15 fps file, a lowered maximum frame
// rate) could never give them, so its warm-up asks what half a second of its own pictures can give, with
// the gaps and the restart stretched by its interval.
constexpr double slowestFullCountIntervalMs = 1000.0 / 24;
constexpr double latencyAllowanceMs = 25;
// Encoding and decoding take the longer the more pixels a picture has, so a candidate above this size may lag
// the picture on screen by as many allowances as it holds this size's pixels (2160p: four), the reference
// the automatic bitrate measures sizes against too. Held to the one allowance, a 2160p candidate beside the
// proxy would hardly ever be taken over even on an idle computer.
constexpr double latencyReferencePixels = 1920.0 * 1080.0;
constexpr double bridgeReturnGapMs = 100;
// A main tier below 15 fps (a slow source, or one the sender thins) comes more than 100 ms apart: its run
// may take one and a half of its own capture intervals, up to this.
constexpr double slowestBridgeReturnGapMs = 250;

double elapsedMs(uint64_t from, uint64_t to) {
    return MonotonicClock::milliseconds(from, to);
}

long whole(double value) {
    return static_cast<long>(value);
}

double latencyAllowance(int width, int height) {
    return latencyAllowanceMs * std::max(1.0, double(width) * double(height) / latencyReferencePixels);
}

// Largest gap between consecutive decode times, 9999 when there is none or it is larger.
double largestGap(const std::vector<uint64_t>& times) {
    double largest = -1;
    for (size_t i = 1; i < times.size(); ++i) {
        largest = std::max(largest, elapsedMs(times[i - 1], times[i]));
    }
    return largest < 0 || largest > 9999 ? 9999 : largest;
}

}  // namespace

DisplayTierSelector::Arrival DisplayTierSelector::arrive(uint8_t tier, uint64_t arrival) {
    if (tier > highestTier) {
        return {};
    }
    if (retired_) {
        if (elapsedMs(retired_->until, arrival) < 0) {
            if (tier == retired_->tier) {
                return {};
            }
        } else {
            retired_.reset();
        }
    }
    if (!displayTier_) {
        displayTier_ = tier;
    }
    Arrival result{true, false};
    if (tier != *displayTier_ && !candidates_.contains(tier)) {
        candidates_.emplace(tier, CandidateProgress{});
        result.candidateStarted = true;
        ViewerLog::player().info("Stufe {} läuft parallel an", tier);
    }
    return result;
}

DisplayTierSelector::Routing DisplayTierSelector::route(const Picture& picture, const DisplayFacts& facts,
                                                        uint64_t now) {
    Routing routing;
    bool show = false;
    if (!displayTier_ || picture.tier != *displayTier_) {
        if (isBridging() && picture.tier == proxyTier) {
            if (preferredTier_ == proxyTier) {
                switchDisplayTier(proxyTier, now, routing);
                show = true;
            } else {
                show = !mainTierReturning(now);
                if (show && bridgeReturnRun_.count >= 2) {
                    bridgeReturnRun_ = {};  // the main tier's run has lapsed
                }
            }
        } else if (shouldBridge(picture.tier)) {
            show = startBridgeIfNeeded(facts.framesPerSecond, now, routing);
        } else if (advanceCandidate(picture, facts, now)) {
            switchDisplayTier(picture.tier, now, routing);
            show = true;
        }
    } else if (isBridging()) {
        show = acceptBridgeReturn(picture.captureTime, now, routing);
    } else {
        show = true;
    }

    // A picture never goes on screen after a newer one.
    if (show && picture.captureTime > lastDisplayedCaptureTime_) {
        routing.show = true;
        lastDisplayedCaptureTime_ = picture.captureTime;
        if (lastDisplayedAt_ != 0) {
            routing.gapMs = elapsedMs(lastDisplayedAt_, now);
        }
        lastDisplayedAt_ = now;
    }
    return routing;
}

void DisplayTierSelector::restartWarmUp(uint8_t tier) {
    if (displayTier_ != tier) {
        candidates_[tier] = CandidateProgress{};
    }
}

double DisplayTierSelector::bridgedMs(uint64_t now) const {
    return bridgedMs_ + (bridgeStartedAt_ ? elapsedMs(*bridgeStartedAt_, now) : 0);
}

bool DisplayTierSelector::shouldBridge(uint8_t tier) const {
    return protocolVersion_ >= 4 && tier == proxyTier && displayTier_ == 0 && preferredTier_ != proxyTier;
}

bool DisplayTierSelector::startBridgeIfNeeded(double framesPerSecond, uint64_t now, Routing& routing) {
    if (isBridging()) {
        return true;
    }
    if (lastDisplayedAt_ == 0) {
        return false;
    }
    // Three frame intervals of the main tier, within 80...150 ms.
    const double threshold = framesPerSecond <= 1 ? 150 : std::clamp(3000 / framesPerSecond, 80.0, 150.0);
    const double pause = elapsedMs(lastDisplayedAt_, now);
    if (pause <= threshold) {
        return false;
    }
    bridgeStartedAt_ = now;
    bridgeReturnRun_ = {};
    bridgeCount_ += 1;
    routing.messages.emplace_back(StandbyBridgeMessage{true, proxyTier});
    ViewerLog::player().info("Überbrückung mit Proxy nach {} ms ohne Bild", whole(pause));
    return true;
}

bool DisplayTierSelector::acceptBridgeReturn(uint64_t captureTime, uint64_t now, Routing& routing) {
    ReturnRun& run = bridgeReturnRun_;
    const double captureGap =
        run.count > 0 && captureTime > run.lastCaptureTime ? elapsedMs(run.lastCaptureTime, captureTime) : 0;
    const double allowed = std::clamp(1.5 * captureGap, bridgeReturnGapMs, slowestBridgeReturnGapMs);
    if (run.count == 0 || elapsedMs(run.lastAt, now) > allowed) {
        run = {1, now, captureTime, bridgeReturnGapMs};
        return false;
    }
    run = {run.count + 1, now, captureTime, allowed};
    if (run.count >= 2 && captureTime > lastDisplayedCaptureTime_) {
        endBridge(now, routing);
        return true;
    }
    return false;
}

// The main tier delivers steadily again. It may run later than the smaller proxy, whose newer pictures
// would otherwise keep every main picture too old to be shown; the proxy is held back instead, and the
// picture on screen stands for at most that lag until the main tier's pictures are newer.
bool DisplayTierSelector::mainTierReturning(uint64_t now) const {
    const ReturnRun& run = bridgeReturnRun_;
    return run.count >= 2 && elapsedMs(run.lastAt, now) <= run.allowedGapMs;
}

void DisplayTierSelector::endBridge(uint64_t now, Routing& routing) {
    if (!bridgeStartedAt_) {
        return;
    }
    const double duration = elapsedMs(*bridgeStartedAt_, now);
    bridgedMs_ += duration;
    bridgeStartedAt_.reset();
    routing.messages.emplace_back(StandbyBridgeMessage{false, proxyTier});
    ViewerLog::player().info("Überbrückung beendet nach {} ms", whole(duration));
}

bool DisplayTierSelector::advanceCandidate(const Picture& picture, const DisplayFacts& facts, uint64_t now) {
    auto [found, fresh] = candidates_.try_emplace(picture.tier);
    CandidateProgress& record = found->second;
    if (record.lastCaptureTime != 0 && picture.captureTime > record.lastCaptureTime) {
        record.captureIntervals.add(elapsedMs(record.lastCaptureTime, picture.captureTime));
    }
    record.lastCaptureTime = picture.captureTime;
    const double interval =
        std::max(record.captureIntervals.median().value_or(0), slowestFullCountIntervalMs);
    const double stretch = interval / slowestFullCountIntervalMs;
    if (fresh || record.decoded == 0 || elapsedMs(record.lastDecodedAt, now) > warmUpRestartMs * stretch) {
        record.firstDecodedAt = now;
        record.decoded = 0;
        record.recent.clear();
        record.latencies = SampleWindow(30);
    }
    record.lastDecodedAt = now;
    record.decoded += 1;
    record.recent.push_back(now);
    std::erase_if(record.recent, [&](uint64_t time) { return elapsedMs(time, now) > recentMs; });
    if (picture.latencyMs) {
        record.latencies.add(*picture.latencyMs);
    }

    if (lastDisplayedAt_ == 0 || elapsedMs(lastDisplayedAt_, now) > displayIdleMs) {
        return true;
    }

    // No picture on screen counts as larger than any candidate.
    const bool smaller =
        !facts.dimensions || static_cast<int64_t>(picture.width) * picture.height <
                                 static_cast<int64_t>(facts.dimensions->width) * facts.dimensions->height;
    if (smaller) {
        if (preferredTier_ == picture.tier) {
            return record.decoded > 1;
        }
        return elapsedMs(lastDisplayedAt_, now) > smallerCandidateMs && record.decoded > 1;
    }

    const auto candidateLatency = record.latencies.median();
    const double gap = largestGap(record.recent);
    if (record.decoded % 30 == 0) {
        ViewerLog::player().info(
            "Stufe {}: {} Bilder in {} ms, größte Lücke {} ms, Latenz {} ms (angezeigt {} ms)", picture.tier,
            record.decoded, whole(elapsedMs(record.firstDecodedAt, now)), whole(gap),
            candidateLatency ? whole(*candidateLatency) : -1,
            facts.latencyMedianMs ? whole(*facts.latencyMedianMs) : -1);
    }
    if (elapsedMs(record.firstDecodedAt, now) < minimumWarmUpMs) {
        return false;
    }
    const auto picturesInRecent = static_cast<size_t>(recentMs / interval);
    if (record.recent.size() < std::clamp<size_t>(picturesInRecent, 1, minimumRecent)) {
        return false;
    }
    if (gap > largestRecentGapMs * stretch) {
        return false;
    }
    if (!candidateLatency || !facts.latencyMedianMs) {
        return true;
    }
    return *candidateLatency <= *facts.latencyMedianMs + latencyAllowance(picture.width, picture.height);
}

void DisplayTierSelector::switchDisplayTier(uint8_t tier, uint64_t now, Routing& routing) {
    endBridge(now, routing);
    const std::optional<uint8_t> old = displayTier_;
    displayTier_ = tier;
    preferredTier_.reset();
    candidates_.erase(tier);

    TierSwitch change{old, tier, false};
    // The proxy going back to standby behind the main tier keeps running.
    const bool proxyToStandby = protocolVersion_ >= 4 && old == proxyTier && tier == 0;
    if (old && *old != tier && !proxyToStandby) {
        change.retiresOld = true;
        retired_ = Retired{*old, now + static_cast<uint64_t>(retireMs * 1e6)};
    }
    routing.switched = change;
    if (protocolVersion_ >= 3) {
        routing.messages.emplace_back(TierReadyMessage{tier, std::nullopt});
    }
    ViewerLog::player().info("Anzeige wechselt nahtlos auf Stufe {}", tier);
}

}  // namespace kelvora
