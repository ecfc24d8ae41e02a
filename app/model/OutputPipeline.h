#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EncodedVideoFrame.h"
#include "core/StreamTuning.h"
#include "sender/pipeline/SenderPipeline.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/SourceFrame.h"

namespace kelvora {

// The simple H.264 stream as the model drives it.
class SimpleStream {
  public:
    virtual ~SimpleStream() = default;
    // Opens the listener; the reason when it cannot (a busy port).
    virtual std::optional<std::string> start() = 0;
    virtual void stop() = 0;
    virtual void updateBitrate(int kbps) = 0;
    // Told the viewer count on the stream's own thread.
    virtual void setClientCountHandler(std::function<void(int)> handler) = 0;
};

// One output's pipeline as the model drives it: the operations of SenderPipeline it uses, so that model
// tests can count them.
class OutputPipeline {
  public:
    virtual ~OutputPipeline() = default;
    virtual void start() = 0;
    // Returns once the viewers have been told that the sender stopped.
    virtual void stop() = 0;
    virtual void updateSettings(SenderSettings settings) = 0;
    virtual void setPaused(bool paused) = 0;
    virtual void updateDevices(std::vector<CaptureDeviceInfo> devices) = 0;
    virtual void reconnectSource(std::string reason) = 0;
    // Closes one viewer's session with a goodbye; returns at once, the server does it on its own queue.
    virtual void disconnectClient(std::string token) = 0;
    // Null detaches; frames reach a stream from the next one on.
    virtual void setSimpleStream(std::shared_ptr<SimpleStream> stream) = 0;
    virtual void setStatusHandler(std::function<void(SenderStatus)> handler) = 0;
    virtual void setPreviewHandler(std::function<void(SourceFrame)> handler) = 0;
    virtual void setEncodedFrameHandler(std::function<void(EncodedVideoFrame)> handler) = 0;
    virtual void setTuningRequestHandler(std::function<void(StreamTuning)> handler) = 0;
};

struct PipelineFactory {
    std::function<std::shared_ptr<OutputPipeline>(SenderSettings settings, std::string senderID)>
        makePipeline;
    std::function<std::shared_ptr<SimpleStream>(std::string name, int bitrateKbps)> makeSimpleStream;

    // SenderPipeline and SimpleH264Streamer. `simpleStreamPort` 0 picks a free port (tests).
    static PipelineFactory real(SenderPipeline::Options options = {}, uint16_t simpleStreamPort = 47900);
};

}  // namespace kelvora
