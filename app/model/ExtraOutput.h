#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/model/MainThreadHop.h"
#include "app/model/OutputPipeline.h"
#include "app/model/PreviewSink.h"

Q_DECLARE_METATYPE(kelvora::SenderStatus)

namespace kelvora {

// One running extra output: a further sender with its own pipeline, port, sender id and small preview. The
// controller creates, re-applies and drops it; it only wires its pipeline to its status and preview.
//
// Threads: main thread, except the pipeline's callbacks: the status hops here through `hop_`; previews run on
// the source's thread and touch only the throttle (under `throttleLock_`) and the preview sink.
class ExtraOutput final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString id READ qmlID CONSTANT)
    Q_PROPERTY(int number READ number CONSTANT)
    Q_PROPERTY(kelvora::SenderStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool isSourcePaused READ isSourcePaused NOTIFY isSourcePausedChanged)

  public:
    static constexpr double kPreviewIntervalMs = 40.0;

    ExtraOutput(std::string id, int number, std::shared_ptr<OutputPipeline> pipeline,
                std::shared_ptr<PreviewSink> preview, QObject* parent = nullptr);
    ~ExtraOutput() override;

    const std::string& id() const { return id_; }
    QString qmlID() const { return QString::fromStdString(id_); }
    int number() const { return number_; }
    const SenderStatus& status() const { return status_; }
    bool isSourcePaused() const { return isSourcePaused_; }
    const std::shared_ptr<OutputPipeline>& pipeline() const { return pipeline_; }
    const std::shared_ptr<PreviewSink>& previewRenderer() const { return preview_; }

    void setSourcePaused(bool paused);
    // Wires the pipeline and starts it.
    void start(std::vector<CaptureDeviceInfo> devices);
    // Stops the pipeline (viewers are told) and clears the preview; no callback reaches the output after.
    void shutDown();
    void setStatus(const SenderStatus& status);

  signals:
    void statusChanged();
    void isSourcePausedChanged();

  private:
    struct Throttle {
        std::mutex lock;
        PreviewThrottle throttle{kPreviewIntervalMs};
    };

    const std::string id_;
    const int number_;
    const std::shared_ptr<OutputPipeline> pipeline_;
    const std::shared_ptr<PreviewSink> preview_;
    const std::shared_ptr<Throttle> throttle_ = std::make_shared<Throttle>();
    const std::shared_ptr<MainThreadHop> hop_;
    SenderStatus status_;
    bool isSourcePaused_ = false;
};

}  // namespace kelvora
