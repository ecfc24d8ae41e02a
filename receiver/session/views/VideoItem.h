#pragma once

#include <QtQml/qqmlregistration.h>
#include <QPointer>
#include <QQuickItem>

#include <memory>

#include "receiver/session/views/VideoFeed.h"

namespace kelvora {

class PixelTransfer;

// Fills all of `destination` (BGRA) for the screen: `source` fitted on black, NV12 through `transfer` and
// BGRA through Qt's bilinear drawing. Throws PixelBufferError when `destination` is not BGRA or `source`
// cannot be converted.
void letterboxForScreen(PixelTransfer& transfer, const PixelBuffer& source, const PixelBuffer& destination);

// Shows the pictures of one VideoFeed: aspect fit on black, with its own rounded corners (the scene graph
// of Qt 6.4 clips rectangles only). Each new picture is converted to the item's size in pixels on the
// thread that delivers it, so the GUI thread only uploads; the item repaints only when a new picture
// arrived or its size changed, never for a picture that stands still. Works on the software scene graph.
class VideoItem : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(kelvora::VideoFeed* feed READ feed WRITE setFeed NOTIFY feedChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)

  public:
    explicit VideoItem(QQuickItem* parent = nullptr);
    ~VideoItem() override;

    VideoFeed* feed() const { return feed_; }
    void setFeed(VideoFeed* feed);
    qreal radius() const { return radius_; }
    void setRadius(qreal radius);

    // Pictures uploaded to the scene graph so far.
    quint64 uploadCount() const { return uploads_; }
    // Pictures converted for this item so far, on any thread. An item that is hidden, or whose window is
    // hidden or minimised, converts nothing until it is back on screen.
    quint64 conversionCount() const;

  signals:
    void feedChanged();
    void radiusChanged();

  protected:
    QSGNode* updatePaintNode(QSGNode* node, UpdatePaintNodeData* data) override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;
    void itemChange(ItemChange change, const ItemChangeData& value) override;

  private:
    friend class VideoFeed;
    // The feed gave its pictures to this item, or to another one.
    void receive(const std::shared_ptr<VideoRenderer>& renderer);
    void lostFeed();
    void updateOnScreen();

    struct Converter;
    std::shared_ptr<Converter> converter_;
    QPointer<VideoFeed> feed_;
    qreal radius_ = 0;
    quint64 uploads_ = 0;
    QMetaObject::Connection windowConnections_[2];
};

}  // namespace kelvora
