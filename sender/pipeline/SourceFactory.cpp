#include "sender/pipeline/SourceFactory.h"

#include <system_error>

#include "sender/sources/TestPatternSource.h"
#include "sender/sources/VideoFileSource.h"

namespace kelvora {

std::shared_ptr<VideoSource> SourceFactory::makeTestPattern(VideoDimensions dimensions, int frameRate) {
    return std::make_shared<TestPatternSource>(dimensions, frameRate);
}

std::shared_ptr<VideoSource> SourceFactory::makeVideoFile(const std::filesystem::path& path) {
    return std::make_shared<VideoFileSource>(path);
}

bool SourceFactory::fileExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

std::shared_ptr<VideoSource> SourceFactory::makeNDI(const std::string&) {
    return nullptr;
}

std::shared_ptr<VideoSource> SourceFactory::makeCaptureDevice(const std::string&,
                                                              std::optional<VideoDimensions>,
                                                              std::optional<int>) {
    return nullptr;
}

bool SourceFactory::isDeviceConnected(const std::string&) {
    return false;
}

std::shared_ptr<SourceFactory> SourceFactory::system() {
    return std::make_shared<SourceFactory>();
}

}  // namespace kelvora
