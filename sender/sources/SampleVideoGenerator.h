#pragma once

#include "core/VideoDimensions.h"
#include "platform/ApplicationFolder.h"

#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace kelvora {

// The sample clip could not be written. `what()` is the sentence shown to the user; `detail()` says what
// libav reported, for the log.
class SampleVideoError : public std::runtime_error {
  public:
    enum class Kind { writeFailed };

    static SampleVideoError writeFailed(std::string detail = {});

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    bool operator==(const SampleVideoError& other) const { return kind_ == other.kind_; }

  private:
    SampleVideoError(Kind kind, std::string detail);
    Kind kind_;
    std::string detail_;
};

// Renders the built-in sample clip on first use into "Beispielvideo.mov" in the application folder and
// reuses that file afterwards, so that someone without a camera can try the sender at once. The clip is
// H.264 (libx264) in a QuickTime movie: 12 s, 60 frames per second, 1920×1080.
//
// Stateless; the file system is its state. `generate` blocks for as long as encoding takes, so it belongs
// on a background thread. Two generations at once do no harm (each writes its own temporary file and the
// last rename wins), but only waste time.
class SampleVideoGenerator {
  public:
    SampleVideoGenerator() = delete;

    static constexpr double duration = 12.0;
    static constexpr int frameRate = 60;
    static constexpr VideoDimensions dimensions = VideoDimensions::hd1080();
    static constexpr int frameCount = int(duration * frameRate);
    static constexpr const char* fileName = "Beispielvideo.mov";

    static std::filesystem::path outputPath(const std::filesystem::path& folder = applicationFolder());
    static bool exists(const std::filesystem::path& folder = applicationFolder());

    // Makes sure the clip exists in `folder` and returns its path. An existing file is used as it is. The
    // clip is written to a temporary file in the same folder and renamed into place only when complete, so
    // a failed or cancelled generation leaves no file behind. `frames` (at least 1) is the clip's length in
    // pictures at `frameRate`; its motion makes one whole round over that length, so the clip loops without
    // a jump at any length. Throws SampleVideoError for encoding failures, std::filesystem::filesystem_error
    // for folder and rename failures, and std::system_error(operation_canceled) when `stop` is requested.
    static std::filesystem::path generate(const std::filesystem::path& folder = applicationFolder(),
                                          std::stop_token stop = {}, int frames = frameCount);

    // Renders the whole clip of `frames` pictures into `file`, replacing it. Throws as `generate`; a partial
    // file stays behind.
    static void write(const std::filesystem::path& file, std::stop_token stop = {}, int frames = frameCount);
};

}  // namespace kelvora
