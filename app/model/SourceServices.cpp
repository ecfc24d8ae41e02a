#include "app/model/SourceServices.h"

#include "sender/sources/CaptureDeviceMonitor.h"
#include "sender/sources/NDISourceBrowser.h"
#include "sender/sources/SampleVideoGenerator.h"

namespace kelvora {
namespace {

class MonitorList final : public DeviceList {
  public:
    void start(Handler handler) override {
        monitor_ = CaptureDeviceMonitor::create();
        monitor_->setOnChange(
            [handler = std::move(handler)](const std::vector<CaptureDeviceInfo>& list) { handler(list); });
        monitor_->start();
    }
    // Destroying the monitor stops it; no call comes after that.
    void stop() override { monitor_.reset(); }

  private:
    std::shared_ptr<CaptureDeviceMonitor> monitor_;
};

class BrowserList final : public NDIList {
  public:
    void start(Handler handler) override {
        browser_ = NDISourceBrowser::create();
        browser_->setOnChange(
            [handler = std::move(handler)](const std::vector<NDISourceInfo>& list) { handler(list); });
        browser_->start();
    }
    void stop() override {
        if (browser_) {
            browser_->setOnChange(nullptr);
            browser_->stop();
            browser_.reset();
        }
    }

  private:
    std::shared_ptr<NDISourceBrowser> browser_;
};

class GeneratedSampleVideo final : public SampleVideo {
  public:
    std::filesystem::path path() const override { return SampleVideoGenerator::outputPath(); }
    bool exists() const override { return SampleVideoGenerator::exists(); }
    std::filesystem::path generate(std::stop_token stop) override {
        return SampleVideoGenerator::generate(applicationFolder(), stop);
    }
};

}  // namespace

std::shared_ptr<DeviceList> systemDeviceList() {
    return std::make_shared<MonitorList>();
}

std::shared_ptr<NDIList> systemNDIList() {
    return std::make_shared<BrowserList>();
}

std::shared_ptr<SampleVideo> systemSampleVideo() {
    return std::make_shared<GeneratedSampleVideo>();
}

}  // namespace kelvora
