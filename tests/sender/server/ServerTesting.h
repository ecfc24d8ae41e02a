#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeMediaSink.h"
#include "ManualTimers.h"
#include "TestViewer.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SenderServer.h"
#include "sender/server/SenderSession.h"
#include "support/Eventually.h"

namespace kelvora::testing {

inline ServiceAnnouncement testAnnouncement(std::string name = "Testsender") {
    ServiceAnnouncement announcement;
    announcement.senderID = "5D1C3A80-2B7E-4E43-9C1B-0F6A1E2D3C4B";
    announcement.senderName = std::move(name);
    announcement.protocolVersion = 4;
    announcement.engines = {EngineKind::tcp()};
    announcement.codec = VideoCodec::h264;
    announcement.dimensions = {1920, 1080};
    announcement.frameRate = 30;
    announcement.state = StreamInfoMessage::State::live;
    announcement.sourceName = "Testbild";
    return announcement;
}

inline StreamInfoMessage testStreamInfo() {
    StreamInfoMessage info;
    info.state = StreamInfoMessage::State::live;
    info.sourceName = "Testbild";
    info.codec = VideoCodec::h264;
    info.dimensions = {1920, 1080};
    info.frameRate = 30;
    info.isTestPattern = true;
    return info;
}

inline EncodedVideoFrame testFrame(uint64_t number, bool keyframe, size_t payloadSize = 1000,
                                   uint8_t tier = 0) {
    EncodedVideoFrame::Flags flags =
        keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{};
    std::vector<Bytes> sets;
    if (keyframe) {
        sets = {{0x67, 0x64, 0x00, 0x28}, {0x68, 0xEE, 0x3C, 0x80}};
    }
    return EncodedVideoFrame::make(VideoCodec::h264, flags, tier, number, std::nullopt, number * 33'000'000,
                                   number * 33'000'000 + 5'000'000, {1920, 1080}, 8000, std::move(sets),
                                   Bytes(payloadSize, static_cast<uint8_t>(number)));
}

// A media engine under the test's control: any kind, available or not; it records what the server does with
// it and gives each session a fake sink that records what it is sent.
class RecordingEngine final : public StreamingEngine {
  public:
    RecordingEngine(EngineKind kind, bool available) : kind_(std::move(kind)), available_(available) {}

    EngineKind kind() const override { return kind_; }
    bool isAvailable() const override { return available_; }
    std::string statusDetail() const override { return "Test"; }
    void start(const std::shared_ptr<StreamingEngineContext>& context) override {
        starts += 1;
        lastContext = context;
    }
    void stop() override { stops += 1; }
    std::map<std::string, std::string> engineParameters(const SenderSession&) override {
        return {{"testPort", "4711"}};
    }
    void attach(const std::shared_ptr<SenderSession>& session) override {
        auto sink = std::make_shared<FakeMediaSink>();
        sinks.push_back(sink);
        session->attachMediaSink(sink);
    }
    void handleSignal(const EngineSignalMessage& signal, const std::shared_ptr<SenderSession>&) override {
        signals.push_back(signal);
    }

    // Touched on the server queue only.
    int starts = 0;
    int stops = 0;
    std::shared_ptr<StreamingEngineContext> lastContext;
    std::vector<std::shared_ptr<FakeMediaSink>> sinks;
    std::vector<EngineSignalMessage> signals;

  private:
    EngineKind kind_;
    bool available_;
};

// A server on loopback with a hand-driven clock and every callback recorded.
class ServerFixture {
  public:
    explicit ServerFixture(SenderServer::Engines engines = {std::make_shared<NativeTCPEngine>()},
                           uint16_t preferredPort = 0,
                           ServiceAnnouncement announcement = testAnnouncement()) {
        server = SenderServer::create(std::move(engines), std::move(announcement), testStreamInfo(),
                                      preferredPort, {queue, timers});
        auto& callbacks = server->callbacks;
        callbacks.onSessionsChanged = [this] { sessionsChanged.push(1); };
        callbacks.onKeyframeRequest = [this](uint8_t tier, KeyframeRequestMessage::Reason reason,
                                             std::optional<FrameNumberRange>) {
            keyframeRequests.push({tier, reason});
        };
        callbacks.onReferenceAck = [this](SenderSession&, const ReferenceAckMessage& ack) {
            referenceAcks.push(ack);
        };
        callbacks.onReport = [this](SenderSession&, const ReceiverReportMessage&) { reports.push(1); };
        callbacks.onRestartSource = [this] { restartRequests.push(1); };
        callbacks.onTuningUpdate = [this](SenderSession&, const StreamTuning& tuning) {
            tuningUpdates.push(tuning);
        };
        callbacks.tuningProvider = [this]() -> std::optional<StreamTuning> { return tuning; };
        server->start();
    }

    ~ServerFixture() {
        if (server) {
            server->stop();
            queue->sync([this] { server.reset(); });
        }
    }

    template <typename F>
    auto onQueue(F&& function) {
        return queue->sync(std::forward<F>(function));
    }

    uint16_t port() {
        return onQueue([this] { return server->controlPort().value_or(0); });
    }
    size_t sessionCount() {
        return onQueue([this] { return server->sessions().size(); });
    }
    size_t pendingCount() {
        return onQueue([this] { return server->pendingCount(); });
    }
    std::shared_ptr<SenderSession> onlySession() {
        return onQueue([this]() -> std::shared_ptr<SenderSession> {
            return server->sessions().size() == 1 ? server->sessions().begin()->second : nullptr;
        });
    }
    void deliver(const EncodedVideoFrame& frame) {
        onQueue([&] { server->deliver(frame); });
    }

    // A viewer that has said hello and read its welcome (and tuning, when it supports tuning).
    std::unique_ptr<TestViewer> joinedViewer(const std::string& clientID, int receiveBuffer = 0) {
        auto viewer = std::make_unique<TestViewer>(port(), receiveBuffer);
        auto welcome = viewer->join(TestViewer::hello(clientID));
        if (!welcome) {
            return nullptr;
        }
        if (!viewer->nextOf<StreamTuning>()) {
            return nullptr;
        }
        return viewer;
    }

    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    std::shared_ptr<ManualTimers> timers = std::make_shared<ManualTimers>(queue);
    std::shared_ptr<SenderServer> server;
    StreamTuning tuning;

    struct KeyframeRequest {
        uint8_t tier;
        KeyframeRequestMessage::Reason reason;
    };
    Eventually<int> sessionsChanged;
    Eventually<KeyframeRequest> keyframeRequests;
    Eventually<ReferenceAckMessage> referenceAcks;
    Eventually<int> reports;
    Eventually<int> restartRequests;
    Eventually<StreamTuning> tuningUpdates;
};

}  // namespace kelvora::testing
