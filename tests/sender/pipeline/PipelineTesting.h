#pragma once

// What the pipeline tests share: sources a test drives picture by picture, a clock it sets by hand, a
// pipeline built with them whose statuses can be awaited, and waits for a viewer's messages.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "sender/pipeline/SenderPipeline.h"
#include "sender/server/TestViewer.h"
#include "support/Eventually.h"

namespace kelvora::testing {

inline constexpr uint64_t kMs = 1'000'000;

// NV12 with a moving pattern above luma `level`, or all black at 16 or below.
inline PixelBuffer nv12Picture(int width, int height, uint8_t level, int index = 0) {
    PixelBuffer picture = PixelBuffer::make(PixelFormat::nv12, width, height);
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            picture.data(0)[size_t(row) * picture.stride(0) + column] =
                level <= 16 ? level : uint8_t(level + (column + row + 3 * index) % 40);
        }
    }
    std::memset(picture.data(1), 128, size_t(picture.stride(1)) * picture.planeHeight(1));
    return picture;
}

// A source that delivers the pictures a test hands it, on the test's thread.
class ScriptedSource final : public VideoSource {
  public:
    ScriptedSource(std::string identifier, std::string name) : identifier_(identifier), name_(name) {}
    std::string name() const override { return name_; }
    std::string identifier() const override { return identifier_; }

    void start(FrameHandler frames, FailureHandler failures) override {
        std::lock_guard lock(mutex_);
        frames_ = std::move(frames);
        failures_ = std::move(failures);
        running_ = true;
        started_.notify_all();
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        running_ = false;
        stopped_ = true;
    }
    void deliver(const PixelBuffer& picture, uint64_t captureTime) {
        std::unique_lock lock(mutex_);
        if (running_) {
            auto frames = frames_;
            lock.unlock();
            frames(SourceFrame{picture, captureTime, false});
        }
    }
    // Also after a stop: a source may report late.
    void fail(const std::string& description) {
        std::unique_lock lock(mutex_);
        auto failures = failures_;
        lock.unlock();
        failures(SourceError(description));
    }
    bool waitUntilStarted() {
        std::unique_lock lock(mutex_);
        return started_.wait_for(lock, std::chrono::seconds(20), [&] { return bool(frames_); });
    }
    bool isRunning() const {
        std::lock_guard lock(mutex_);
        return running_;
    }
    bool wasStopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }

  private:
    const std::string identifier_;
    const std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable started_;
    FrameHandler frames_;
    FailureHandler failures_;
    bool running_ = false;
    bool stopped_ = false;
};

// Makes scripted sources: the test pattern, and the capture devices the test says the system knows.
class ScriptedSources final : public SourceFactory {
  public:
    std::shared_ptr<VideoSource> makeTestPattern(VideoDimensions, int) override {
        return remember(std::make_shared<ScriptedSource>("testpattern", "Testbild"));
    }
    std::shared_ptr<VideoSource> makeCaptureDevice(const std::string& id, std::optional<VideoDimensions>,
                                                   std::optional<int>) override {
        if (!contains(known_, id)) {
            return nullptr;
        }
        return remember(std::make_shared<ScriptedSource>(id, "Karte " + id));
    }
    bool isDeviceConnected(const std::string& id) override { return contains(connected_, id); }

    void setKnown(std::vector<std::string> ids) {
        std::lock_guard lock(mutex_);
        known_ = std::move(ids);
    }
    void setConnected(std::vector<std::string> ids) {
        std::lock_guard lock(mutex_);
        connected_ = std::move(ids);
    }

    // The `count`th source made (from 1), once it has been started.
    std::shared_ptr<ScriptedSource> waitForSource(size_t count) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(20), [&] { return made_.size() >= count; })) {
            return nullptr;
        }
        auto source = made_[count - 1];
        lock.unlock();
        source->waitUntilStarted();
        return source;
    }
    size_t madeCount() {
        std::lock_guard lock(mutex_);
        return made_.size();
    }

  private:
    bool contains(const std::vector<std::string>& ids, const std::string& id) {
        std::lock_guard lock(mutex_);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    std::shared_ptr<VideoSource> remember(std::shared_ptr<ScriptedSource> source) {
        std::lock_guard lock(mutex_);
        made_.push_back(source);
        changed_.notify_all();
        return source;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<ScriptedSource>> made_;
    std::vector<std::string> known_;
    std::vector<std::string> connected_;
};

// TCP only, any free port, a name of its own, the test pattern.
inline SenderSettings testSettings(const std::string& name = "Testsender") {
    SenderSettings settings;
    settings.senderName = name;
    settings.enabledEngines = {"tcp"};
    settings.controlPort = 0;
    settings.useTestPattern = true;
    return settings;
}

// A pipeline on scripted sources and a clock set by hand, with every status kept; announced by DNS-SD only
// when asked to.
struct PipelineUnderTest {
    // Far beyond any machine's uptime: a time the pipeline took from the real clock instead shows at once as
    // minutes or years old, on every machine alike, rather than only on one booted a short while ago.
    std::atomic<uint64_t> now{100'000'000'000 * kMs};
    std::shared_ptr<ScriptedSources> sources = std::make_shared<ScriptedSources>();
    std::atomic<bool> recovery{false};
    std::atomic<size_t> published{0};
    Eventually<std::pair<size_t, SenderStatus>> statuses;
    std::shared_ptr<SenderPipeline> pipeline;

    explicit PipelineUnderTest(SenderSettings settings, std::string senderID = "PIPELINE-TEST",
                               bool announce = false) {
        SenderPipeline::Options options;
        options.announce = announce;
        options.clock = [this] { return now.load(); };
        options.sources = sources;
        options.autoSourceRecovery = [this] { return recovery.load(); };
        pipeline = SenderPipeline::create(std::move(settings), std::move(senderID), {}, options);
        pipeline->setStatusHandler([this](SenderStatus status) { statuses.push({published++, status}); });
    }
    ~PipelineUnderTest() {
        pipeline->stop();
        pipeline->queue().sync([] {});
        // Statuses published by the stop itself must not reach members that are about to be destroyed.
        pipeline->setStatusHandler({});
        pipeline->queue().sync([] {});
    }

    // The first status published from now on that satisfies `condition`.
    std::optional<SenderStatus> waitForStatus(
        const std::function<bool(const SenderStatus&)>& condition = {}) {
        const size_t from = published.load();
        auto found = statuses.waitFor([&](const auto& entry) {
            return entry.first >= from && (!condition || condition(entry.second));
        });
        return found ? std::optional(found->second) : std::nullopt;
    }
    // Pictures until the encoders' first frame has made the output live.
    bool deliverUntilLive(ScriptedSource& source, int width = 320, int height = 180) {
        for (int i = 0; i < 200; ++i) {
            source.deliver(nv12Picture(width, height, 120, i), now);
            auto all = statuses.values();
            if (!all.empty() && all.back().second.isLive()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    uint16_t port() {
        return waitForStatus([](const SenderStatus& s) { return bool(s.controlPort); })
            .value()
            .controlPort.value();
    }
};

// The next message of type T that satisfies `condition`, within the limit.
template <typename T>
std::optional<T> nextMatching(TestViewer& viewer, const std::function<bool(const T&)>& condition = {},
                              std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = viewer.next(limit);
        if (!message) {
            return std::nullopt;
        }
        if (const T* value = message->get<T>(); value && (!condition || condition(*value))) {
            return *value;
        }
    }
    return std::nullopt;
}

}  // namespace kelvora::testing
