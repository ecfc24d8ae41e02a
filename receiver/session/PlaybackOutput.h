#pragma once

#include <cstdint>
#include <exception>
#include <optional>

#include "core/EncodedVideoFrame.h"
#include "core/VideoCodec.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// Where a playback engine delivers what it receives: the receiver session implements it. An engine calls
// it only on the session queue it was given (PlaybackEngineContext::queue).
class PlaybackOutput {
  public:
    virtual ~PlaybackOutput() = default;

    // One complete encoded frame and its arrival time (monotonic ns).
    virtual void receive(EncodedVideoFrame frame, uint64_t arrivalTime) = 0;
    // A picture the engine decoded by itself, with its capture time when the engine knows it. No engine of
    // ours decodes by itself; the operation is there for one that does.
    virtual void displayDecodedFrame(PixelBuffer picture, std::optional<uint64_t> captureTime,
                                     std::optional<VideoCodec> codec) = 0;
    // The media path is gone for good; the session ends with `error`, or with its own "media channel
    // closed" error when none is given (null).
    virtual void mediaChannelFailed(std::exception_ptr error) = 0;
};

}  // namespace kelvora
