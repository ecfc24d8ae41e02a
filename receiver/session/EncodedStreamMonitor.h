#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "core/EncodedVideoFrame.h"
#include "core/MonotonicClock.h"
#include "core/RateMeter.h"
#include "core/SampleWindow.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "receiver/session/VideoDecoder.h"
#include "receiver/session/VideoRenderer.h"

namespace kelvora {

class SerialQueue;

// The sender's own tiers decoded side by side, exactly as a viewer decodes them, for the developer
// dashboard's tier comparison. The app hands in every encoded frame of its main output; while enabled, the
// monitor decodes tiers 0, 1 and 2 on its own queue ("monitor") with one decoder each, shows the pictures on
// one renderer per tier, and keeps per-tier figures that the dashboard reads as `TierInfo` rows.
//
// Threads: `submit` comes from the server queue, `tierInfos` from the UI thread, `setEnabled` from anywhere.
// The decoders, the keyframe waits and the last frame numbers live on the monitor queue only; the enabled
// flag and the statistics each have their own mutex; pictures and statistics arrive on the decoders'
// worker threads. Decoder outputs and queue tasks hold the monitor weakly.
class EncodedStreamMonitor : public std::enable_shared_from_this<EncodedStreamMonitor> {
  public:
    struct TierInfo {
        uint8_t tier = 0;
        VideoCodec codec = VideoCodec::h264;  // of the tier's latest submitted frame
        VideoDimensions dimensions;           // of the tier's latest submitted frame
        double framesPerSecond = 0;           // pictures decoded over the last second
        std::optional<double> encodeMs;       // median of the last 60 capture-to-encoded times
        std::optional<double> decodedMs;      // median of the last 60 capture-to-decoded times
        // Frames thrown away undecoded while the tier waited for a keyframe: its decoder had fallen behind,
        // a frame was missing, or decoding failed.
        int64_t framesDropped = 0;

        bool operator==(const TierInfo&) const = default;
    };

    // Disabled at first. `clock` gives the times of the frame-rate meter and the capture-to-decoded figures;
    // `decoderWorker`, when given, runs every tier's decoding (a test holds it up).
    static std::shared_ptr<EncodedStreamMonitor> create(Clock clock = MonotonicClock::system(),
                                                        std::shared_ptr<SerialQueue> decoderWorker = nullptr);
    ~EncodedStreamMonitor();
    EncodedStreamMonitor(const EncodedStreamMonitor&) = delete;
    EncodedStreamMonitor& operator=(const EncodedStreamMonitor&) = delete;

    bool isEnabled() const;
    // Switching off forgets decoders, waits and figures (on the queue, after the frames already queued), so
    // that switching on again starts every tier afresh at its next keyframe. The renderers keep their
    // pictures.
    void setEnabled(bool enabled);

    // Takes a copy of the frame for decoding; ignored while disabled and for tiers above 2. The copies
    // waiting for the monitor queue are bounded as a decoder's backlog is; a frame over the bound is
    // dropped, and the gap it leaves makes its tier wait for the next keyframe.
    void submit(const EncodedVideoFrame& frame);

    // One row per tier that has figures, in ascending tier order.
    std::vector<TierInfo> tierInfos() const;

    // The renderer of tiers 0, 1 and 2, for the comparison's video views; null for any other tier.
    std::shared_ptr<VideoRenderer> renderer(uint8_t tier) const;

  private:
    struct Stats {
        VideoCodec codec = VideoCodec::h264;
        VideoDimensions dimensions;
        SampleWindow encode{60};
        SampleWindow decoded{60};
        RateMeter fps{1.0};
        int64_t dropped = 0;
    };

    EncodedStreamMonitor(Clock clock, std::shared_ptr<SerialQueue> decoderWorker);

    // On the monitor queue.
    void process(const EncodedVideoFrame& frame);
    void reset();
    void countDropped(uint8_t tier);
    // On the decoder's worker.
    void decoded(uint8_t tier, VideoDecoder::Result result);

    const Clock clock_;
    const std::shared_ptr<SerialQueue> decoderWorker_;
    const std::map<uint8_t, std::shared_ptr<VideoRenderer>> renderers_;

    mutable std::mutex enabledMutex_;
    bool enabled_ = false;

    // Frames submitted and not yet processed, with their bytes.
    std::atomic<size_t> queuedFrames_{0};
    std::atomic<size_t> queuedBytes_{0};

    std::map<uint8_t, std::unique_ptr<VideoDecoder>> decoders_;
    std::set<uint8_t> waitingForKeyframe_{0, 1, 2};
    std::map<uint8_t, uint64_t> lastFrameNumber_;

    mutable std::mutex statsMutex_;
    mutable std::map<uint8_t, Stats> stats_;

    // Last, so that it stops first: no queued task outlives the state above.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace kelvora
