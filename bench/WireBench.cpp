// Encoding and decoding a video-frame message against a plain copy of the same bytes: the frame path should
// cost little more than moving the bytes once.

#include <benchmark/benchmark.h>

#include <cstring>

#include "core/ControlMessage.h"

using namespace kelvora;

namespace {

ControlMessage videoFrameMessage() {
    Bytes payload(100 * 1024);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 31);
    }
    return EncodedVideoFrame::make(VideoCodec::h264, {EncodedVideoFrame::Flags::keyframe}, 0, 1, std::nullopt,
                                   1, 2, VideoDimensions::hd1080(), 20000, {Bytes(24, 0x67), Bytes(8, 0x68)},
                                   std::move(payload));
}

void BM_EncodeVideoFrameMessage(benchmark::State& state) {
    const ControlMessage message = videoFrameMessage();
    for (auto _ : state) {
        Bytes frame = message.encoded();
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(message.encoded().size()));
}

void BM_DecodeVideoFrameMessage(benchmark::State& state) {
    const Bytes frame = videoFrameMessage().encoded();
    for (auto _ : state) {
        const auto header = ControlMessage::parseHeader(frame);
        ControlMessage message = ControlMessage::decode(
            header.type, ByteView(frame).subspan(ControlMessage::headerLength, header.length));
        benchmark::DoNotOptimize(&message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}

// The floor: one memcpy of the same bytes into a buffer that already exists.
void BM_CopySameBytes(benchmark::State& state) {
    const Bytes frame = videoFrameMessage().encoded();
    Bytes copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}

}  // namespace

BENCHMARK(BM_EncodeVideoFrameMessage);
BENCHMARK(BM_DecodeVideoFrameMessage);
BENCHMARK(BM_CopySameBytes);

BENCHMARK_MAIN();
