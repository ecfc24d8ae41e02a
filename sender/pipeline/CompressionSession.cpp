#include "sender/pipeline/CompressionSession.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "core/Log.h"
#include "sender/pipeline/AvcodecSession.h"
#include "sender/pipeline/EncoderError.h"
#include "sender/pipeline/X264Session.h"

namespace kelvora {

std::unique_ptr<CompressionSession> CompressionSession::make(const EncoderConfiguration& configuration,
                                                             bool lowLatency, EncoderBackend backend) {
    if (backend == EncoderBackend::automatic) {
        // H.264 stays on libx264 even where a GPU encoder exists: forced IDRs, the tight VBV and live bitrate
        // changes are exact there. HEVC needs a hardware encoder to run in real time.
        backend = configuration.codec == VideoCodec::h264 ? EncoderBackend::x264 : EncoderBackend::vaapi;
    }
    switch (backend) {
        case EncoderBackend::x264:
            if (configuration.codec != VideoCodec::h264)
                throw EncoderError::sessionCreation(-EINVAL, "libx264 kodiert nur H.264");
            return std::make_unique<X264Session>(configuration, lowLatency);
        case EncoderBackend::x265:
            if (configuration.codec != VideoCodec::hevc)
                throw EncoderError::sessionCreation(-EINVAL, "libx265 kodiert nur HEVC");
            return std::make_unique<AvcodecSession>(configuration, lowLatency, AvcodecSession::Library::x265);
        case EncoderBackend::vaapi:
        case EncoderBackend::automatic:
            break;
    }
    return std::make_unique<AvcodecSession>(configuration, lowLatency, AvcodecSession::Library::vaapi);
}

const EncoderCapabilities& CompressionSession::capabilities() {
    static const EncoderCapabilities probed = [] {
        EncoderCapabilities found;
        found.hevcHardware = AvcodecSession::probeHardware(VideoCodec::hevc, false);
        // libx264's VBV gives low-latency rate control on every computer.
        found.h264LowLatency = true;
        found.hevcLowLatency = found.hevcHardware && AvcodecSession::probeHardware(VideoCodec::hevc, true);
        Log::encoder().info("Encoder-Fähigkeiten: HEVC-HW {}, H.264-LL {}, HEVC-LL {}", found.hevcHardware,
                            found.h264LowLatency, found.hevcLowLatency);
        return found;
    }();
    return probed;
}

KeyframeSchedule::KeyframeSchedule(const EncoderConfiguration& configuration)
    // Half a frame of slack, so that an interval of exactly N frames is not missed by rounding.
    : intervalMicros_(
          int64_t(std::llround(configuration.keyframeInterval * 1e6 - 0.5e6 / configuration.frameRate))) {}

int64_t KeyframeSchedule::presentation(int64_t micros) {
    lastPresentation_ = lastPresentation_ == INT64_MIN ? micros : std::max(micros, lastPresentation_ + 1);
    return lastPresentation_;
}

bool KeyframeSchedule::isDue(int64_t presentation) const {
    return hadKeyframe_ && presentation - lastKeyframe_ >= intervalMicros_;
}

void KeyframeSchedule::keyframeAt(int64_t presentation) {
    hadKeyframe_ = true;
    lastKeyframe_ = presentation;
}

}  // namespace kelvora
