#pragma once

#include "sender/sources/Libav.h"
#include "sender/sources/SourceError.h"

#include <filesystem>
#include <string>

namespace kelvora {

// Why a video file cannot be played.
class VideoFileError : public SourceError {
  public:
    enum class Kind { cannotRead, noVideoTrack };

    static VideoFileError cannotRead(const std::string& reason);
    static VideoFileError noVideoTrack();

    Kind kind() const { return kind_; }
    bool operator==(const VideoFileError& other) const {
        return kind_ == other.kind_ && description() == other.description();
    }

  private:
    VideoFileError(Kind kind, const std::string& description) : SourceError(description), kind_(kind) {}
    Kind kind_;
};

// What playing a file needs to know before the first decoding pass: its first video stream and that
// stream's nominal frame rate.
struct VideoFileAsset {
    std::filesystem::path path;
    // 0 when the file does not say.
    double nominalFrameRate = 0;

    // Opens and probes the file. Throws VideoFileError: cannotRead when libav cannot open or understand it,
    // noVideoTrack when it holds no video stream (cover pictures do not count).
    static VideoFileAsset load(const std::filesystem::path& path);
};

// One decoding pass over the first video stream of a file, from its beginning. Looping is starting a new
// pass. Not thread-safe; the file source keeps it on its queue.
class VideoFileReader {
  public:
    // Opens the file and its decoder. Throws VideoFileError.
    explicit VideoFileReader(const std::filesystem::path& path);

    // The next decoded picture, or nullptr once the pass has ended (end of file or a reading error). The
    // picture stays valid until the next call.
    AVFrame* next();

    // Starts the pass again from the beginning of the file, keeping the open file and decoder: much
    // cheaper than opening anew, which probes the file again. False when the file cannot seek; the
    // caller then opens a new reader.
    bool rewind();

  private:
    libav::InputContext input_;
    libav::CodecContext decoder_;
    libav::Packet packet_;
    libav::Frame picture_;
    int streamIndex_ = -1;
    bool draining_ = false;
    bool finished_ = false;
};

}  // namespace kelvora
