#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/NDISourceInfo.h"

namespace kelvora {

class CaptureDeviceMonitor;
class NDISourceBrowser;

// A list that changes over time (capture devices, NDI sources): `start` hands over the handler that gets
// every new whole list (any thread); after `stop` it is not called again.
template <class Item>
class SourceList {
  public:
    using Handler = std::function<void(std::vector<Item>)>;
    virtual ~SourceList() = default;
    virtual void start(Handler handler) = 0;
    virtual void stop() = 0;
};

using DeviceList = SourceList<CaptureDeviceInfo>;
using NDIList = SourceList<NDISourceInfo>;

std::shared_ptr<DeviceList> systemDeviceList();
std::shared_ptr<NDIList> systemNDIList();

// The generated sample clip.
class SampleVideo {
  public:
    virtual ~SampleVideo() = default;
    virtual std::filesystem::path path() const = 0;
    virtual bool exists() const = 0;
    // Blocks while it renders; throws with a sentence for the user.
    virtual std::filesystem::path generate(std::stop_token stop) = 0;
};

std::shared_ptr<SampleVideo> systemSampleVideo();

}  // namespace kelvora
