#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "receiver/player/PlayerSeams.h"

namespace kelvora::testing {

// A session that records what the player asks of it; a test plays its events.
class FakeSession final : public PlayerSession {
  public:
    EngineKind engine;
    NetworkEndpoint endpoint;
    ReceiverSession::EventHandler handler;
    bool started = false;
    bool stopped = false;
    bool ended = false;
    PlaybackStatistics stats;
    std::optional<HostPortEndpoint> peer;
    std::optional<StreamQuality> quality;  // the last wish handed over

    void setEventHandler(ReceiverSession::EventHandler h) override { handler = std::move(h); }
    void start() override { started = true; }
    void stop() override { stopped = true; }
    void setPreferredQuality(StreamQuality q) override { quality = q; }
    void setSmoothingEnabled(bool) override {}
    void updateTuning(StreamTuning) override {}
    void requestKeyframe() override {}
    void requestSourceRestart() override {}
    PlaybackStatistics statistics() const override { return stats; }
    std::optional<HostPortEndpoint> remote() const override { return peer; }
    void setFrameOutput(LockedHandler<PixelBuffer>::Handler) override {}

    // As the session's own thread would: the player sees it once the scheduler runs its posts.
    void emitEvent(ReceiverSession::Event event) {
        ended = ended || std::holds_alternative<ReceiverSession::Ended>(event);
        if (handler) {
            handler(event);
        }
    }
};

class FakeBrowser final : public PlayerBrowser {
  public:
    std::function<void(std::vector<DiscoveredSender>)> onChange;
    std::function<void()> onDenied;
    int starts = 0;
    int stops = 0;

    void setOnChange(std::function<void(std::vector<DiscoveredSender>)> h) override {
        onChange = std::move(h);
    }
    void setOnPermissionDenied(std::function<void()> h) override { onDenied = std::move(h); }
    void start() override { ++starts; }
    void stop() override { ++stops; }
};

// Virtual time: timers fire when a test advances the clock past them, posts run on drain.
class FakeScheduler final : public PlayerScheduler {
  public:
    uint64_t time = 1'000'000'000;

    uint64_t now() const override { return time; }

    Handle after(std::chrono::nanoseconds delay, std::function<void()> task) override {
        const uint64_t id = nextID_++;
        timers_[id] = {time + static_cast<uint64_t>(delay.count()), std::move(task)};
        return Handle([this, id] { timers_.erase(id); });
    }

    void post(std::function<void()> task) override { posts_.push_back(std::move(task)); }

    void drain() {
        while (!posts_.empty()) {
            auto task = std::move(posts_.front());
            posts_.erase(posts_.begin());
            task();
        }
    }

    // Moves the clock forward, firing each due timer at its own time, earliest first.
    void advance(std::chrono::nanoseconds by) {
        const uint64_t end = time + static_cast<uint64_t>(by.count());
        for (;;) {
            drain();
            auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
            });
            if (next == timers_.end() || next->second.due > end) {
                break;
            }
            time = next->second.due;
            auto task = std::move(next->second.task);
            timers_.erase(next);
            task();
        }
        time = end;
        drain();
    }

    size_t pendingTimers() const { return timers_.size(); }

  private:
    struct Timer {
        uint64_t due;
        std::function<void()> task;
    };
    std::map<uint64_t, Timer> timers_;
    std::vector<std::function<void()>> posts_;
    uint64_t nextID_ = 1;
};

}  // namespace kelvora::testing
