#pragma once

#include "sender/sources/SourceError.h"
#include "sender/sources/SourceFrame.h"

#include <functional>
#include <string>

namespace kelvora {

// Where an output's pictures come from: a capture device, an NDI source, the test pattern or a video file.
// The pipeline makes a new source for every start (a source is started at most once), hands it two
// callbacks and stops it when the source changes, the output pauses or stops. Sources are held by
// std::shared_ptr and compared by identity.
//
// Threads: `start` and `stop` may be called from any thread and return at once; the work happens on the
// source's own queue or thread, and so do the callbacks. Because `stop` does not wait, a picture whose
// delivery had already begun may still arrive shortly after it returns; once the source has processed the
// stop, no new delivery begins. A frame handler must not block: it runs on the source's delivery thread.
class VideoSource {
  public:
    using FrameHandler = std::function<void(SourceFrame)>;
    // The source can no longer deliver (not opened, device or connection lost, runtime error). It may be
    // called more than once and before any picture; the pipeline decides whether and when to restart.
    using FailureHandler = std::function<void(const SourceError&)>;

    virtual ~VideoSource() = default;

    // Shown in status and announcements ("Testbild", a device's name, a file's name).
    virtual std::string name() const = 0;
    // What the settings store as the selected source: "testpattern", "ndi:<name>", "videofile:<path>", or a
    // capture device's unique id.
    virtual std::string identifier() const = 0;

    virtual void start(FrameHandler frameHandler, FailureHandler failureHandler) = 0;
    virtual void stop() = 0;
};

}  // namespace kelvora
