#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FakeMediaSink.h"
#include "TestViewer.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SenderServer.h"
#include "sender/server/SenderSession.h"
#include "support/Eventually.h"
#include "support/ManualTimers.h"

namespace kelvora::testing {

inline ServiceAnnouncement testAnnouncement(std::string name = "Testsender") {
    return ServiceAnnouncement{"5D1C3A80-2B7E-4E43-9C1B-0F6A1E2D3C4B",
                               std::move(name),
                               4,
                               {EngineKind::tcp()},
                               VideoCodec::h264,
                               {1920, 1080},
                               30,
                               StreamInfoMessage::State::live,
                               "Testbild"};
}

inline StreamInfoMessage testStreamInfo() {
    return StreamInfoMessage{
        StreamInfoMessage::State::live, "Testbild", VideoCodec::h264, {1920, 1080}, 30, true};
}

inline EncodedVideoFrame testFrame(uint64_t number, bool keyframe, size_t payloadSize = 1000) {
    std::vector<Bytes> sets;
    if (keyframe) {
        sets = {{0x67, 0x64, 0x00, 0x28}, {0x68, 0xEE, 0x3C, 0x80}};
    }
    return EncodedVideoFrame::make(
        VideoCodec::h264, keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags{}, 0,
        number, std::nullopt, number * 33'000'000, number * 33'000'000 + 5'000'000, {1920, 1080}, 8000,
        std::move(sets), Bytes(payloadSize, static_cast<uint8_t>(number)));
}

// A media engine of any kind, available or not, that records what the server does with it and gives each
// session a fake sink. Its fields are touched on the server queue only.
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
        sinks.push_back(std::make_shared<FakeMediaSink>());
        session->attachMediaSink(sinks.back());
    }
    void handleSignal(const EngineSignalMessage& signal, const std::shared_ptr<SenderSession>&) override {
        signals.push_back(signal);
    }

    int starts = 0;
    int stops = 0;
    std::shared_ptr<StreamingEngineContext> lastContext;
    std::vector<std::shared_ptr<FakeMediaSink>> sinks;
    std::vector<EngineSignalMessage> signals;

  private:
    EngineKind kind_;
    bool available_;
};

// A running server on loopback with a hand-driven clock and its callbacks recorded; announced by DNS-SD
// only when asked to.
class ServerFixture {
  public:
    explicit ServerFixture(SenderServer::Engines engines = {std::make_shared<NativeTCPEngine>()},
                           uint16_t preferredPort = 0, ServiceAnnouncement announcement = testAnnouncement(),
                           bool announce = false) {
        server = SenderServer::create(std::move(engines), std::move(announcement), testStreamInfo(),
                                      preferredPort, {queue, timers, announce});
        auto& callbacks = server->callbacks;
        callbacks.onSessionsChanged = [this] { sessionsChanged.push(1); };
        callbacks.onKeyframeRequest = [this](uint8_t, KeyframeRequestMessage::Reason reason,
                                             std::optional<FrameNumberRange>) {
            keyframeRequests.push(reason);
        };
        callbacks.onReferenceAck = [this](SenderSession&, const ReferenceAckMessage& ack) {
            referenceAcks.push(ack);
        };
        callbacks.onReport = [this](SenderSession&, const ReceiverReportMessage&) { events.push("report"); };
        callbacks.onRestartSource = [this] { events.push("restart"); };
        callbacks.onTuningUpdate = [this](SenderSession&, const StreamTuning&) { events.push("tuning"); };
        callbacks.tuningProvider = [this]() -> std::optional<StreamTuning> { return tuning; };
        server->start();
    }
    ~ServerFixture() {
        server->stop();
        queue->sync([this] { server.reset(); });
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
        return onQueue(
            [this] { return server->sessions().size() == 1 ? server->sessions().begin()->second : nullptr; });
    }
    void deliver(const EncodedVideoFrame& frame) {
        onQueue([&] { server->deliver(frame); });
    }

    // A viewer past its welcome and tuning.
    std::unique_ptr<TestViewer> joinedViewer(const std::string& clientID, int receiveBuffer = 0) {
        auto viewer = std::make_unique<TestViewer>(port(), receiveBuffer);
        if (!viewer->join(TestViewer::hello(clientID)) || !viewer->nextOf<StreamTuning>()) {
            return nullptr;
        }
        return viewer;
    }

    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    std::shared_ptr<ManualTimers> timers = std::make_shared<ManualTimers>();
    std::shared_ptr<SenderServer> server;
    StreamTuning tuning;

    Eventually<int> sessionsChanged;
    Eventually<KeyframeRequestMessage::Reason> keyframeRequests;
    Eventually<ReferenceAckMessage> referenceAcks;
    Eventually<std::string> events;
};

}  // namespace kelvora::testing
