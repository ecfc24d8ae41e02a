#include "app/model/OutputPipeline.h"

#include "sender/server/SimpleH264Streamer.h"

namespace kelvora {
namespace {

class RealSimpleStream final : public SimpleStream {
  public:
    explicit RealSimpleStream(std::shared_ptr<SimpleH264Streamer> streamer)
        : streamer_(std::move(streamer)) {}

    std::optional<std::string> start() override {
        streamer_->start();
        // Binding is all the streamer's queue does first, so this wait is short; it tells a busy port at
        // once.
        if (!streamer_->listeningPort()) {
            return "Port belegt";
        }
        return std::nullopt;
    }
    void stop() override {
        streamer_->stop();
        // The listener closes on the streamer's queue; waiting for it frees the port for the next switch-on.
        streamer_->listeningPort();
    }
    void updateBitrate(int kbps) override { streamer_->updateBitrate(kbps); }
    void setClientCountHandler(std::function<void(int)> handler) override {
        streamer_->setClientCountHandler(std::move(handler));
    }

    const std::shared_ptr<SimpleH264Streamer> streamer_;
};

class RealOutputPipeline final : public OutputPipeline {
  public:
    explicit RealOutputPipeline(std::shared_ptr<SenderPipeline> pipeline) : pipeline_(std::move(pipeline)) {}

    void start() override { pipeline_->start(); }
    void stop() override {
        pipeline_->stop();
        // The stop runs on the pipeline's queue: waiting for it there means the goodbyes are on their way.
        pipeline_->queue().sync([] {});
    }
    void updateSettings(SenderSettings settings) override { pipeline_->updateSettings(std::move(settings)); }
    void setPaused(bool paused) override { pipeline_->setPaused(paused); }
    void updateDevices(std::vector<CaptureDeviceInfo> devices) override {
        pipeline_->updateDevices(std::move(devices));
    }
    void reconnectSource(std::string reason) override { pipeline_->reconnectSource(std::move(reason)); }
    void disconnectClient(std::string token) override { pipeline_->disconnectClient(std::move(token)); }
    void setSimpleStream(std::shared_ptr<SimpleStream> stream) override {
        auto* real = dynamic_cast<RealSimpleStream*>(stream.get());
        pipeline_->setSimpleStreamer(real ? real->streamer_ : nullptr);
    }
    void setStatusHandler(std::function<void(SenderStatus)> handler) override {
        pipeline_->setStatusHandler(std::move(handler));
    }
    void setPreviewHandler(std::function<void(SourceFrame)> handler) override {
        pipeline_->setPreviewHandler(std::move(handler));
    }
    void setEncodedFrameHandler(std::function<void(EncodedVideoFrame)> handler) override {
        pipeline_->setEncodedFrameHandler(std::move(handler));
    }
    void setTuningRequestHandler(std::function<void(StreamTuning)> handler) override {
        pipeline_->setTuningRequestHandler(std::move(handler));
    }

  private:
    const std::shared_ptr<SenderPipeline> pipeline_;
};

}  // namespace

PipelineFactory PipelineFactory::real(SenderPipeline::Options options, uint16_t simpleStreamPort) {
    PipelineFactory factory;
    factory.makePipeline = [options](SenderSettings settings, std::string senderID) {
        return std::make_shared<RealOutputPipeline>(
            SenderPipeline::create(std::move(settings), std::move(senderID), {}, options));
    };
    factory.makeSimpleStream = [simpleStreamPort](std::string name, int kbps) {
        return std::make_shared<RealSimpleStream>(
            SimpleH264Streamer::create(std::move(name), kbps, simpleStreamPort));
    };
    return factory;
}

}  // namespace kelvora
