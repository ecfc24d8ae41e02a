#include "core/ClockSynchronizer.h"

namespace kelvora {

ClockSynchronizer::ClockSynchronizer(int capacity) : capacity_(capacity > 0 ? capacity : 0) {}

std::optional<ClockSynchronizer::Sample> ClockSynchronizer::add(uint64_t clientSend, uint64_t serverReceive,
                                                                uint64_t serverSend, uint64_t clientReceive) {
    // Wrapping unsigned arithmetic throughout: a negative round trip becomes huge and is rejected with the
    // too-long ones.
    uint64_t rtt = (clientReceive - clientSend) - (serverSend - serverReceive);
    if (rtt > kMaximumRttNanoseconds) {
        return std::nullopt;
    }
    int64_t offset = static_cast<int64_t>((serverReceive + serverSend) - (clientSend + clientReceive)) / 2;
    Sample sample{offset, static_cast<int64_t>(rtt), clientReceive};
    samples_.push_back(sample);
    while (samples_.size() > static_cast<size_t>(capacity_)) {
        samples_.pop_front();
    }
    lastRttMilliseconds_ = static_cast<double>(rtt) / 1e6;
    return sample;
}

const ClockSynchronizer::Sample* ClockSynchronizer::best() const {
    const Sample* best = nullptr;
    for (const Sample& sample : samples_) {
        if (best == nullptr || sample.rttNanoseconds < best->rttNanoseconds) {
            best = &sample;
        }
    }
    return best;
}

std::optional<int64_t> ClockSynchronizer::bestOffset() const {
    const Sample* sample = best();
    if (sample == nullptr) {
        return std::nullopt;
    }
    return sample->offsetNanoseconds;
}

double ClockSynchronizer::minimumRttMilliseconds() const {
    const Sample* sample = best();
    return sample == nullptr ? -1.0 : static_cast<double>(sample->rttNanoseconds) / 1e6;
}

std::optional<uint64_t> ClockSynchronizer::localTime(uint64_t senderTime) const {
    auto offset = bestOffset();
    if (!offset) {
        return std::nullopt;
    }
    return senderTime - static_cast<uint64_t>(*offset);
}

std::optional<double> ClockSynchronizer::latencyMilliseconds(uint64_t senderTime, uint64_t now) const {
    if (!isSynchronized()) {
        return std::nullopt;
    }
    uint64_t difference = now - senderTime + static_cast<uint64_t>(*bestOffset());
    return static_cast<double>(static_cast<int64_t>(difference)) / 1e6;
}

void ClockSynchronizer::reset() {
    samples_.clear();
    lastRttMilliseconds_ = -1.0;
}

}  // namespace kelvora
