// Loss recovery on loopback: a sender pipeline on the test pattern (main tier alone, H.264, `fps` frames per
// second, no scheduled keyframe within the run) and one receiver session over TCP with playout smoothing off.
// The session's frame filter throws away one main-tier frame in every `period` (none with period 0) before
// its frame orderer, as a network would lose it; the sender repairs each loss with a refresh from the frame
// the viewer acknowledged (long-term references on) or with a keyframe (off).
//
// Counters, over the measured window:
//   median_ms, p95_ms, p99_ms   capture to renderer of every picture shown (read from its time-code strip)
//   pictures, drops             pictures shown, frames thrown away
//   refreshes, keyframes        frames that repaired a loss, by kind (the first of either after each drop)
//   repair_kB, frame_kB         median size of a repairing frame, and of an ordinary predicted frame
//   refresh_age, refresh_age_max  frames between a refresh and the acknowledged frame it predicts from
//   recover_ms, recover_max_ms  from the drop to the first picture shown from the repairing frame on
//   lost, decode_errors         the session's own count of gaps given up and of decoder errors
//
// The machine may be shared: compare rows of one run only.
//
//     build/bench/LossRecoveryBench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "bench/BenchSupport.h"
#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/ReceiverSession.h"
#include "sender/pipeline/SenderPipeline.h"

using namespace kelvora;

namespace {

constexpr auto kWarmUp = std::chrono::seconds(4);
constexpr auto kMeasured = std::chrono::seconds(20);
constexpr int kMostFrames = 60;

// Sits on the viewer's frame path (session queue) and its picture output (presentation queue).
class LossProbe {
  public:
    explicit LossProbe(int period) : period_(period) {}

    // False for the frame to throw away.
    bool admit(const EncodedVideoFrame& frame) {
        const uint64_t now = MonotonicClock::now();
        std::lock_guard lock(mutex_);
        if (frame.tier != 0) {
            return true;
        }
        if (period_ > 0 && frame.frameNumber % uint64_t(period_) == 0 && !frame.isKeyframe() && !repair_) {
            repair_ = Repair{now, std::nullopt};
            if (measuring_) {
                ++drops_;
            }
            return false;
        }
        const bool repairs = frame.isKeyframe() || frame.isRefresh();
        if (repair_ && !repair_->captureTime && repairs) {
            repair_->captureTime = frame.captureTime;
            if (measuring_) {
                (frame.isRefresh() ? refreshes_ : keyframes_) += 1;
                repairBytes_.add(double(frame.dataByteCount()) / 1000);
                if (frame.isRefresh())
                    refreshAges_.add(double(frame.frameNumber - frame.referenceFrameNumber));
            }
        } else if (measuring_ && !repairs && !repair_) {
            frameBytes_.add(double(frame.dataByteCount()) / 1000);
        }
        return true;
    }

    void present(const PixelBuffer& picture) {
        const uint64_t now = MonotonicClock::now();
        const auto capture = TestPatternTimecode::read(picture);
        std::lock_guard lock(mutex_);
        ++pictures_;
        changed_.notify_all();
        if (!capture || !measuring_) {
            return;
        }
        latencies_.add(MonotonicClock::milliseconds(*capture, now));
        ++measuredPictures_;
        // The strip holds the capture time to the microsecond.
        if (repair_ && repair_->captureTime && *capture >= *repair_->captureTime / 1000 * 1000) {
            recoveries_.add(MonotonicClock::milliseconds(repair_->droppedAt, now));
            repair_.reset();
        }
    }

    void setMeasuring(bool on) {
        std::lock_guard lock(mutex_);
        measuring_ = on;
        repair_.reset();
    }
    bool waitForPictures(int count, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pictures_ >= count; });
    }

    void report(benchmark::State& state) const {
        std::lock_guard lock(mutex_);
        state.counters["median_ms"] = latencies_.median().value_or(-1);
        state.counters["p95_ms"] = latencies_.p95().value_or(-1);
        state.counters["p99_ms"] = latencies_.percentile(0.99).value_or(-1);
        state.counters["pictures"] = measuredPictures_;
        state.counters["drops"] = drops_;
        state.counters["refreshes"] = refreshes_;
        state.counters["keyframes"] = keyframes_;
        state.counters["repair_kB"] = repairBytes_.median().value_or(-1);
        state.counters["frame_kB"] = frameBytes_.median().value_or(-1);
        state.counters["refresh_age"] = refreshAges_.median().value_or(-1);
        state.counters["refresh_age_max"] = refreshAges_.percentile(1.0).value_or(-1);
        state.counters["recover_ms"] = recoveries_.median().value_or(-1);
        state.counters["recover_max_ms"] = recoveries_.percentile(1.0).value_or(-1);
    }

  private:
    struct Repair {
        uint64_t droppedAt;
        std::optional<uint64_t> captureTime;  // of the frame that repairs the loss, once it arrived
    };

    const int period_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool measuring_ = false;
    int pictures_ = 0;
    int measuredPictures_ = 0;
    int drops_ = 0;
    int refreshes_ = 0;
    int keyframes_ = 0;
    std::optional<Repair> repair_;
    SampleWindow latencies_{kMostFrames * 30};
    SampleWindow repairBytes_{1000};
    SampleWindow frameBytes_{kMostFrames * 30};
    SampleWindow recoveries_{1000};
    SampleWindow refreshAges_{1000};
};

void LossRecovery(benchmark::State& state) {
    const int height = int(state.range(0));
    const VideoDimensions size = height == 720    ? VideoDimensions::hd720()
                                 : height == 1440 ? VideoDimensions{2560, 1440}
                                                  : VideoDimensions::hd1080();
    const bool longTermReferences = state.range(1) != 0;
    const int period = int(state.range(2));
    const int frameRate = int(state.range(3));

    for (auto _ : state) {
        SenderSettings settings;
        settings.resolution = size;
        settings.frameRate = frameRate;
        settings.autoFrameRate = false;
        settings.preferredCodec = VideoCodec::h264;
        settings.adaptiveBitrate = false;
        settings.proxyStream = false;
        settings.keyframeInterval = 600;
        settings.longTermReferences = longTermReferences;
        auto pipeline = bench::testPatternPipeline(settings, "Verlust", "BENCH-LOSS");
        const std::optional<uint16_t> port = bench::startAndWaitForPort(*pipeline);
        if (!port) {
            state.SkipWithError("the sender did not start listening");
            break;
        }

        auto probe = std::make_shared<LossProbe>(period);
        auto session =
            ReceiverSession::create(EngineKind::tcp(), NetworkEndpoint::hostPort("127.0.0.1", *port),
                                    ReceiverIdentity{"BENCH-LOSS-VIEWER", "Messgerät", "Benchmark"});
        session->setSmoothingEnabled(false);
        session->setFrameFilter([probe](const EncodedVideoFrame& frame) { return probe->admit(frame); });
        session->frameOutput.set([probe](PixelBuffer picture) { probe->present(picture); });
        session->start();
        if (!probe->waitForPictures(1, std::chrono::seconds(30))) {
            state.SkipWithError("no picture arrived");
        } else {
            std::this_thread::sleep_for(kWarmUp);
            probe->setMeasuring(true);
            std::this_thread::sleep_for(kMeasured);
            probe->setMeasuring(false);
        }
        const PlaybackStatistics stats = session->statistics();

        session->stop();
        session->queue().sync([] {});
        session.reset();
        bench::stopAndWait(*pipeline);

        probe->report(state);
        state.counters["lost"] = stats.framesLost;
        state.counters["decode_errors"] = stats.decodeErrors;
        state.SetIterationTime(std::chrono::duration<double>(kMeasured).count());
    }
}

}  // namespace

// One frame in a hundred lost, repaired by refresh and by keyframe, beside the same stream without loss.
BENCHMARK(LossRecovery)
    ->ArgNames({"height", "ltr", "period", "fps"})
    ->Args({720, 1, 0, 30})
    ->Args({720, 1, 100, 30})
    ->Args({720, 0, 100, 30})
    ->Args({1080, 1, 0, 30})
    ->Args({1080, 1, 100, 30})
    ->Args({1080, 0, 100, 30})
    ->Args({1080, 1, 100, 60})
    ->Args({1440, 1, 100, 30})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
