// A keyframe from the network through the decoder: its parameter sets' picture size is read and checked
// before anything is allocated, and libavcodec then decodes what passed. Whatever the bytes say, no picture
// beyond the size bound comes out, a keyframe whose sets describe a larger picture is refused as too large,
// and each frame gives at most one result.

#include "core/EncodedVideoFrame.h"
#include "core/ParameterSets.h"
#include "core/WireError.h"
#include "fuzz/FuzzInput.h"
#include "platform/SerialQueue.h"
#include "receiver/session/VideoDecoder.h"

#include <algorithm>
#include <mutex>
#include <vector>

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EncodedVideoFrame frame;
    try {
        frame = EncodedVideoFrame::fromSerialized(ByteView(data, size));
    } catch (const WireError&) {
        return 0;
    }
    const auto pictureSizes = ParameterSets::pictureSizes(frame.codec, frame.parameterSets);

    static const auto worker = std::make_shared<SerialQueue>(SerialQueue::labelFor("fuzz.decoder"));
    std::mutex mutex;
    std::vector<VideoDecoder::Result> results;
    {
        VideoDecoder decoder(
            [&](VideoDecoder::Result result) {
                std::lock_guard lock(mutex);
                results.push_back(std::move(result));
            },
            worker);
        decoder.decode(frame, 0);
        // The same payload once more behind it, now against the context the keyframe opened (if any).
        EncodedVideoFrame next = frame;
        next.flags.remove(EncodedVideoFrame::Flags::keyframe);
        next.frameNumber += 1;
        decoder.decode(next, 0);
        decoder.invalidate();
    }
    KELVORA_FUZZ_CHECK(results.size() <= 2);
    for (const auto& result : results) {
        if (const auto* picture = std::get_if<DecodedFrame>(&result)) {
            KELVORA_FUZZ_CHECK(
                PictureSizeLimit::allows({picture->pixelBuffer.width(), picture->pixelBuffer.height()}));
        }
    }
    // A keyframe with a readable set beyond the bound is refused as too large (or, when another of its sets
    // cannot be read, as unusable), never decoded.
    const bool tooLarge = std::any_of(pictureSizes.begin(), pictureSizes.end(), [](const auto& size) {
        return size && !PictureSizeLimit::allows(size->coded);
    });
    if (frame.isKeyframe() && tooLarge) {
        const auto* failure = results.empty() ? nullptr : std::get_if<DecoderError>(&results.front());
        KELVORA_FUZZ_CHECK(failure != nullptr && (failure->kind() == DecoderError::Kind::pictureTooLarge ||
                                                  failure->kind() == DecoderError::Kind::noFormat));
    }
    return 0;
}
