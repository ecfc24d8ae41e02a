#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/VideoDimensions.h"
#include "sender/sources/VideoSource.h"

namespace kelvora {

// How a pipeline turns the source id its settings select into a VideoSource, and what it asks the system
// about capture devices. The pipeline makes a new source for every start and talks to it only through the
// VideoSource contract; this seam is where the kinds of sources are known.
//
// Called on the server queue only.
class SourceFactory {
  public:
    // What kind of source a made source is; the watchdog restarts only capture devices for black.
    enum class Kind { testPattern, videoFile, ndi, captureDevice };

    virtual ~SourceFactory() = default;

    virtual std::shared_ptr<VideoSource> makeTestPattern(VideoDimensions dimensions, int frameRate);
    virtual std::shared_ptr<VideoSource> makeVideoFile(const std::filesystem::path& path);
    virtual bool fileExists(const std::filesystem::path& path);
    // The NDI source of that name (it reports a missing NDI runtime through its failure handler).
    virtual std::shared_ptr<VideoSource> makeNDI(const std::string& ndiName);
    // The capture device with this unique id, asked for a size and rate (none: its own), or nothing when
    // the system does not know such a device now.
    virtual std::shared_ptr<VideoSource> makeCaptureDevice(const std::string& id,
                                                           std::optional<VideoDimensions> targetDimensions,
                                                           std::optional<int> targetFrameRate);
    // Whether the system still reports the device as connected (it may be missing from a device list that
    // was published a moment before it came back).
    virtual bool isDeviceConnected(const std::string& id);

    // The real sources of this computer.
    static std::shared_ptr<SourceFactory> system();
};

}  // namespace kelvora
