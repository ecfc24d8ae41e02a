#include "sender/pipeline/SourceFactory.h"

#include <system_error>

#include "sender/sources/CaptureDeviceMonitor.h"
#include "sender/sources/CaptureDeviceSource.h"
#include "sender/sources/NDIVideoSource.h"
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

std::shared_ptr<VideoSource> SourceFactory::makeNDI(const std::string& ndiName) {
    return NDIVideoSource::create(ndiName);
}

std::shared_ptr<VideoSource> SourceFactory::makeCaptureDevice(const std::string& id,
                                                              std::optional<VideoDimensions> targetDimensions,
                                                              std::optional<int> targetFrameRate) {
    std::optional<CaptureDevice> device = CaptureDeviceMonitor::device(id);
    if (!device) {
        return nullptr;
    }
    return CaptureDeviceSource::create(std::move(*device), targetDimensions, targetFrameRate);
}

bool SourceFactory::isDeviceConnected(const std::string& id) {
    return CaptureDeviceMonitor::device(id).has_value();
}

std::shared_ptr<SourceFactory> SourceFactory::system() {
    return std::make_shared<SourceFactory>();
}

}  // namespace kelvora
