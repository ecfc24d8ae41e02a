#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/model/SenderController.h"
#include "app/model/StatusText.h"
#include "sender/sources/SampleVideoGenerator.h"

namespace kelvora::testing {

// Records what the model asks of one pipeline.
struct FakePipeline final : OutputPipeline {
    SenderSettings created;
    std::string senderID;
    std::vector<std::string> calls;
    std::vector<SenderSettings> updates;
    std::vector<bool> pauses;
    std::vector<std::vector<CaptureDeviceInfo>> deviceUpdates;
    std::shared_ptr<SimpleStream> simpleStream;
    std::function<void(SenderStatus)> statusHandler;
    std::function<void(SourceFrame)> previewHandler;
    std::function<void(EncodedVideoFrame)> encodedFrameHandler;
    std::function<void(StreamTuning)> tuningHandler;

    void start() override { calls.push_back("start"); }
    void stop() override { calls.push_back("stop"); }
    void updateSettings(SenderSettings settings) override {
        calls.push_back("updateSettings");
        updates.push_back(std::move(settings));
    }
    void setPaused(bool paused) override {
        calls.push_back(paused ? "pause" : "resume");
        pauses.push_back(paused);
    }
    void updateDevices(std::vector<CaptureDeviceInfo> devices) override {
        calls.push_back("updateDevices");
        deviceUpdates.push_back(std::move(devices));
    }
    void reconnectSource(std::string) override { calls.push_back("reconnect"); }
    void disconnectClient(std::string token) override { calls.push_back("disconnect " + token); }
    void setSimpleStream(std::shared_ptr<SimpleStream> stream) override {
        calls.push_back(stream ? "attachSimpleStream" : "detachSimpleStream");
        simpleStream = std::move(stream);
    }
    void setStatusHandler(std::function<void(SenderStatus)> h) override { statusHandler = std::move(h); }
    void setPreviewHandler(std::function<void(SourceFrame)> h) override { previewHandler = std::move(h); }
    void setEncodedFrameHandler(std::function<void(EncodedVideoFrame)> h) override {
        encodedFrameHandler = std::move(h);
    }
    void setTuningRequestHandler(std::function<void(StreamTuning)> h) override {
        tuningHandler = std::move(h);
    }
    bool isPaused() const { return !pauses.empty() && pauses.back(); }
};

struct FakeSimpleStream final : SimpleStream {
    std::string name;
    int kbps = 0;
    bool busy = false;
    bool running = false;
    std::vector<int> bitrates;
    std::function<void(int)> clientCount;

    std::optional<std::string> start() override {
        if (busy) {
            return "Port belegt";
        }
        running = true;
        return std::nullopt;
    }
    void stop() override { running = false; }
    void updateBitrate(int value) override { bitrates.push_back(value); }
    void setClientCountHandler(std::function<void(int)> handler) override {
        clientCount = std::move(handler);
    }
};

struct FakeLoginItem final : LoginItemService {
    LoginItemStatus current = LoginItemStatus::notRegistered;
    LoginItemStatus afterRegister = LoginItemStatus::enabled;
    bool fails = false;
    int registrations = 0;
    void registerItem() override {
        ++registrations;
        if (fails) {
            throw LoginItemError("refused");
        }
        current = afterRegister;
    }
    void unregisterItem() override { current = LoginItemStatus::notRegistered; }
    LoginItemStatus status() const override { return current; }
};

struct FakeCamera final : CameraAccess {
    CameraAuthorization current = CameraAuthorization::authorized;
    std::function<void(bool)> pending;
    CameraAuthorization status() const override { return current; }
    void request(std::function<void(bool)> completion) override { pending = std::move(completion); }
};

struct FakeHost final : HostInfo {
    std::string computerName() const override { return "Regie-PC"; }
};

struct FakeAlerts final : AlertPresenter {
    std::vector<Alert> shown;
    size_t run(const Alert& alert) override {
        shown.push_back(alert);
        return 0;
    }
};

struct FakePicker final : FilePicker {
    std::optional<std::filesystem::path> answer;
    std::vector<FileRequest> requests;
    std::optional<std::filesystem::path> choose(const FileRequest& request) override {
        requests.push_back(request);
        return answer;
    }
};

template <class Item>
struct FakeList final : SourceList<Item> {
    typename SourceList<Item>::Handler handler;
    bool stopped = false;
    void start(typename SourceList<Item>::Handler h) override { handler = std::move(h); }
    void stop() override { stopped = true; }
};

struct FakeSampleVideo final : SampleVideo {
    std::filesystem::path file = "/data/Kelvora/Beispielvideo.mov";
    std::atomic<bool> present = false;
    std::atomic<bool> fails = false;
    std::atomic<int> generations = 0;
    std::filesystem::path path() const override { return file; }
    bool exists() const override { return present; }
    std::filesystem::path generate(std::stop_token) override {
        ++generations;
        if (fails) {
            throw SampleVideoError::writeFailed("test");
        }
        present = true;
        return file;
    }
};

// One write through the settings setter, as a view's control makes it.
template <class Edit>
void edit(SenderController& controller, Edit change) {
    SenderSettings settings = controller.settings();
    change(settings);
    controller.setSettings(settings);
}

// A controller on fakes and a defaults file of its own.
struct ModelHarness {
    ModelHarness() { std::filesystem::create_directories(root); }
    ~ModelHarness() {
        controller.reset();
        defaults.reset();
        std::filesystem::remove_all(root);
    }

    SenderController& make(std::optional<PipelineFactory> real = std::nullopt) {
        SenderControllerServices services;
        services.defaults = defaults.get();
        services.pipelines.makePipeline = [this](SenderSettings settings, std::string id) {
            auto pipeline = std::make_shared<FakePipeline>();
            pipeline->created = std::move(settings);
            pipeline->senderID = std::move(id);
            pipelines.push_back(pipeline);
            return pipeline;
        };
        services.pipelines.makeSimpleStream = [this](std::string name, int kbps) {
            auto stream = std::make_shared<FakeSimpleStream>();
            stream->name = std::move(name);
            stream->kbps = kbps;
            stream->busy = portBusy;
            streams.push_back(stream);
            return stream;
        };
        if (real) {
            services.pipelines = *real;
        }
        services.previews = [this](VideoDimensions size) {
            auto preview = std::make_shared<LatestPicturePreview>();
            previews.emplace_back(size, preview);
            return preview;
        };
        services.loginItem = loginItem;
        services.cameraAccess = camera;
        services.hostInfo = std::make_shared<FakeHost>();
        services.alerts = alerts;
        services.filePicker = picker;
        services.devices = deviceList;
        services.ndiSources = ndiList;
        services.sampleVideo = sample;
        services.hevcHardware = [] { return false; };
        controller = std::make_unique<SenderController>(std::move(services));
        return *controller;
    }

    FakePipeline& mainPipeline() { return *pipelines.front(); }
    // The pipelines the controller made for extra outputs, in creation order.
    std::vector<std::shared_ptr<FakePipeline>> extraPipelines() {
        return {pipelines.begin() + 1, pipelines.end()};
    }
    std::shared_ptr<LatestPicturePreview> preview(size_t index) { return previews.at(index).second; }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }
    void storeSettings(const SenderSettings& settings) { defaults->set(kSettingsKey, settings.toJson()); }
    std::optional<SenderSettings> storedSettings() {
        controller->flushSettings();
        auto value = defaults->value(kSettingsKey);
        if (!value) {
            return std::nullopt;
        }
        return SenderSettings::fromJson(*value);
    }

    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("model-controller-" + std::to_string(getpid()) + "-" +
                                                  std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::unique_ptr<UserDefaults> defaults = std::make_unique<UserDefaults>("app.kelvora.sender", root);
    std::vector<std::shared_ptr<FakePipeline>> pipelines;
    std::vector<std::shared_ptr<FakeSimpleStream>> streams;
    std::vector<std::pair<VideoDimensions, std::shared_ptr<LatestPicturePreview>>> previews;
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();
    std::shared_ptr<FakeAlerts> alerts = std::make_shared<FakeAlerts>();
    std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>();
    std::shared_ptr<FakeList<CaptureDeviceInfo>> deviceList = std::make_shared<FakeList<CaptureDeviceInfo>>();
    std::shared_ptr<FakeList<NDISourceInfo>> ndiList = std::make_shared<FakeList<NDISourceInfo>>();
    std::shared_ptr<FakeSampleVideo> sample = std::make_shared<FakeSampleVideo>();
    bool portBusy = false;
    std::unique_ptr<SenderController> controller;
};

}  // namespace kelvora::testing
