#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace kelvora {

// The places a picture passes on its way from the source to the screen, in order.
enum class LatencyStage : uint8_t {
    intake,         // the pipeline took the picture from its source
    encoderSubmit,  // handed to a tier's encoder
    encoderOutput,  // the encoder gave its frame back
    queued,         // queued on a viewer's connection
    written,        // the last byte left for the viewer
    received,       // the viewer has the whole frame
    decoded,        // the viewer's decoder gave the picture back
    presented,      // handed to the screen
};
inline constexpr int latencyStageCount = 8;

std::string_view latencyStageName(LatencyStage stage);

// Follows pictures through sender and viewer by their capture time, so that a benchmark running both in one
// process can see where the time goes. Nothing is recorded unless a recorder is installed; marking then
// costs one atomic load, so the marks stay in production code.
class LatencyTrace {
  public:
    // Stages that happen before a picture is split into tiers carry this tier.
    static constexpr uint8_t anyTier = 255;

    class Recorder {
      public:
        virtual ~Recorder() = default;
        // Called on whichever thread passes the stage; `captureTime` and `at` are monotonic nanoseconds.
        virtual void mark(LatencyStage stage, uint8_t tier, uint64_t captureTime, uint64_t at) = 0;
    };

    LatencyTrace() = delete;

    // The recorder must outlive every thread that may still mark: install it before starting the pipeline
    // and the viewer, and remove it (nullptr) only after both have stopped.
    static void install(Recorder* recorder) { recorder_.store(recorder, std::memory_order_release); }
    static bool active() { return recorder_.load(std::memory_order_relaxed) != nullptr; }

    static void mark(LatencyStage stage, uint8_t tier, uint64_t captureTime);
    static void mark(LatencyStage stage, uint8_t tier, uint64_t captureTime, uint64_t at) {
        if (Recorder* recorder = recorder_.load(std::memory_order_acquire)) {
            recorder->mark(stage, tier, captureTime, at);
        }
    }

  private:
    static inline std::atomic<Recorder*> recorder_{nullptr};
};

}  // namespace kelvora
