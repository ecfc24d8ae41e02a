#pragma once

// Sample messages shared by the wire tests and the fuzzers' seed corpus; free of any test framework so
// that both can include it.

#include <vector>

#include "core/ControlMessage.h"

namespace kelvora::testing {

// One message of every case, with optional fields both present and absent.
inline std::vector<ControlMessage> sampleOfEveryMessage() {
    const StreamInfoMessage stream{
        StreamInfoMessage::State::starting, "Testbild", VideoCodec::h264, {1280, 720}, 30, true};
    const StreamTuning tuning{
        true,  true,  true, true, false, true, false,
        false, 25000, 2000, 900,  50,    true, {{0, 1920, 1080, 24000, 50, 1}, {2, 640, 360, 900, 29.97, 0}}};
    return {
        HelloMessage{
            "C-1", "iPhone", 4, EngineKind::tcp(), {VideoCodec::h264, VideoCodec::hevc}, "iPhone15,2", true},
        WelcomeMessage{"Sender",
                       4,
                       "T-1",
                       EngineKind::quic(),
                       {{"quicPort", "4433"}, {"quicFingerprint", "a/b"}},
                       stream,
                       "S-1",
                       std::nullopt},
        stream,
        EncodedVideoFrame::make(VideoCodec::hevc, {EncodedVideoFrame::Flags::keyframe}, 1, 5, std::nullopt,
                                10, 20, {1280, 720}, 4000, {Bytes{0x40, 1}, Bytes{0x42, 2, 3}, Bytes{0x44}},
                                Bytes(64, 0x26)),
        KeyframeRequestMessage{KeyframeRequestMessage::Reason::manual, 0},
        ReceiverReportMessage{1000, 30, 29, 1, 0, 0, 123456, 35.5, 50.25, 1.5, 4, 0},
        TierReadyMessage{1, true},
        ReferenceAckMessage{0, 10, 20},
        PreferTierMessage{{2, std::nullopt}},
        StandbyBridgeMessage{true, 2},
        FrameRateLimitMessage{30},
        QualityPreferenceMessage{StreamQuality::full},
        tuning,
        StreamTuningUpdate{tuning},
        TimeSyncRequest{{1, 0, 0}},
        TimeSyncResponse{{1, 2, 3}},
        EngineSignalMessage{EngineKind::quic(), "rotate", ""},
        MediaAttachMessage{"T-1"},
        GoodbyeMessage{"sender stopped"},
        RestartSourceMessage{},
    };
}

}  // namespace kelvora::testing
