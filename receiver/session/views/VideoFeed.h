#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

#include "receiver/session/VideoRenderer.h"

namespace kelvora {

class VideoItem;

// A renderer as QML sees it: view models hand these to video items. A renderer shows its pictures in one
// item at a time: of the items that show this feed, the one that came on screen last; when it is hidden or
// goes, another visible one takes over, so two views that keep their items alive (the simple view and the
// dashboard, switched by visibility) never leave the one on screen black. GUI thread only.
class VideoFeed : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("video feeds come from the view models")

  public:
    explicit VideoFeed(std::shared_ptr<VideoRenderer> renderer, QObject* parent = nullptr);
    ~VideoFeed() override;

    const std::shared_ptr<VideoRenderer>& renderer() const { return renderer_; }

    // The item that shows the pictures now, if any.
    VideoItem* attachedItem() const;

  private:
    friend class VideoItem;
    // From the items: one starts or stops showing this feed, or comes on or goes off screen.
    void add(VideoItem* item);
    void remove(VideoItem* item);
    void shown(VideoItem* item);
    void hidden(VideoItem* item);
    // Hands the pictures to the newest other visible item; false when there is none.
    bool handOver(VideoItem* leaving);
    void give(VideoItem* item);

    std::shared_ptr<VideoRenderer> renderer_;
    std::vector<QPointer<VideoItem>> items_;  // in the order they came on screen, the last one newest
    QPointer<VideoItem> attached_;
};

}  // namespace kelvora
