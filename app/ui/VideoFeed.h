#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>

#include <memory>

#include "receiver/session/VideoRenderer.h"

namespace kelvora {

class VideoItem;

// A renderer as QML sees it: view models hand these to video items. A renderer shows its pictures in one
// item at a time, the one attached last; an item that loses its renderer to another turns black.
// GUI thread only.
class VideoFeed : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("video feeds come from the view models")

  public:
    explicit VideoFeed(std::shared_ptr<VideoRenderer> renderer, QObject* parent = nullptr);
    ~VideoFeed() override;

    const std::shared_ptr<VideoRenderer>& renderer() const { return renderer_; }

    // The item that shows the pictures now, if any.
    VideoItem* attachedItem() const { return attached_; }

  private:
    friend class VideoItem;
    void attach(VideoItem* item);
    void detach(VideoItem* item);

    std::shared_ptr<VideoRenderer> renderer_;
    QPointer<VideoItem> attached_;
};

}  // namespace kelvora
