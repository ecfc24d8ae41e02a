#pragma once

#include "sender/pipeline/SenderPipeline.h"
#include "sender/pipeline/SourceFactory.h"
#include "support/Eventually.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvora::testing {

// A real sender pipeline on the test pattern, 640x360 at 30 frames/s, over TCP on a free loopback port and
// unannounced, for tests that watch it from the receiving side. One tier only: on a loaded machine a session
// may bridge to the proxy for seconds, and a proxy picture is too small for its time-code strip to be read.
// Name and id carry the process id, so runs side by side never meet.
class LoopbackSender {
  public:
    LoopbackSender(const std::string& name, const std::string& idPrefix)
        : id(idPrefix + "-" + std::to_string(getpid())) {
        settings.senderName = name + " " + std::to_string(getpid());
        settings.enabledEngines = {"tcp"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = {640, 360};
        settings.frameRate = 30;
        settings.proxyStream = false;
        SenderPipeline::Options options;
        options.sources = SourceFactory::system();
        options.announce = false;
        options.autoSourceRecovery = [] { return false; };
        pipeline = SenderPipeline::create(settings, id, {}, options);
        pipeline->setStatusHandler([this](SenderStatus status) { statuses.push(status); });
    }

    ~LoopbackSender() { stop(); }
    LoopbackSender(const LoopbackSender&) = delete;
    LoopbackSender& operator=(const LoopbackSender&) = delete;

    // Starts the pipeline and waits for the port it listens on; nothing when it never says within 30 s.
    std::optional<uint16_t> start() {
        pipeline->start();
        auto listening = statuses.waitFor([](const SenderStatus& s) { return s.controlPort.has_value(); },
                                          std::chrono::seconds(30));
        return listening ? listening->controlPort : std::nullopt;
    }

    // Stops the pipeline and waits until its queue has carried that out: viewers are told, the port closes.
    void stop() {
        pipeline->setStatusHandler({});
        pipeline->stop();
        pipeline->queue().sync([] {});
    }

    SenderSettings settings;
    const std::string id;
    std::shared_ptr<SenderPipeline> pipeline;
    Eventually<SenderStatus> statuses;
};

}  // namespace kelvora::testing
