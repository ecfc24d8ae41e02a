#include "core/LatencyTrace.h"

#include "core/MonotonicClock.h"

namespace kelvora {

std::string_view latencyStageName(LatencyStage stage) {
    switch (stage) {
        case LatencyStage::intake:
            return "intake";
        case LatencyStage::encoderSubmit:
            return "encoder submit";
        case LatencyStage::encoderOutput:
            return "encoder output";
        case LatencyStage::queued:
            return "queued";
        case LatencyStage::written:
            return "written";
        case LatencyStage::received:
            return "received";
        case LatencyStage::decoded:
            return "decoded";
        case LatencyStage::presented:
            return "presented";
    }
    return "?";
}

void LatencyTrace::mark(LatencyStage stage, uint8_t tier, uint64_t captureTime) {
    if (Recorder* recorder = recorder_.load(std::memory_order_acquire)) {
        recorder->mark(stage, tier, captureTime, MonotonicClock::now());
    }
}

}  // namespace kelvora
