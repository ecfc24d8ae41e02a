#include "app/model/ExtraOutput.h"

namespace kelvora {

ExtraOutput::ExtraOutput(std::string id, int number, std::shared_ptr<OutputPipeline> pipeline,
                         std::shared_ptr<PreviewSink> preview, QObject* parent)
    : QObject(parent),
      id_(std::move(id)),
      number_(number),
      pipeline_(std::move(pipeline)),
      preview_(std::move(preview)),
      hop_(std::make_shared<MainThreadHop>(this)) {}

ExtraOutput::~ExtraOutput() {
    hop_->close();
}

void ExtraOutput::setSourcePaused(bool paused) {
    if (isSourcePaused_ != paused) {
        isSourcePaused_ = paused;
        emit isSourcePausedChanged();
    }
}

void ExtraOutput::setStatus(const SenderStatus& status) {
    if (status_ != status) {
        status_ = status;
        emit statusChanged();
    }
}

void ExtraOutput::start(std::vector<CaptureDeviceInfo> devices) {
    pipeline_->setStatusHandler(
        MainThreadHop::bind<SenderStatus>(hop_, [this](const SenderStatus& status) { setStatus(status); }));
    pipeline_->setPreviewHandler([throttle = throttle_, preview = preview_](SourceFrame frame) {
        bool due;
        {
            std::lock_guard lock(throttle->lock);
            due = throttle->throttle.admit(frame.captureTime);
        }
        if (due) {
            preview->submit(frame.pixelBuffer);
        }
    });
    pipeline_->updateDevices(std::move(devices));
    pipeline_->start();
}

void ExtraOutput::shutDown() {
    hop_->close();
    pipeline_->setStatusHandler(nullptr);
    pipeline_->setPreviewHandler(nullptr);
    pipeline_->setTuningRequestHandler(nullptr);
    pipeline_->stop();
    preview_->clear();
}

}  // namespace kelvora
