#include "receiver/session/views/VideoItem.h"

#include <QImage>
#include <QMetaObject>
#include <QPainter>
#include <QQuickWindow>
#include <QSGImageNode>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "receiver/session/views/Letterbox.h"
#include "receiver/session/views/OnScreen.h"

namespace kelvora {
namespace {

// Fades the four corners outside a circle of `radius` pixels to transparent, with one pixel of
// antialiasing. The buffer holds premultiplied BGRA, so every channel scales with the coverage.
void roundCorners(const PixelBuffer& buffer, int radius) {
    radius = std::min({radius, buffer.width() / 2, buffer.height() / 2});
    if (radius <= 0) {
        return;
    }
    const int width = buffer.width();
    const int height = buffer.height();
    for (int y = 0; y < radius; ++y) {
        for (int x = 0; x < radius; ++x) {
            const double dx = radius - (x + 0.5);
            const double dy = radius - (y + 0.5);
            const double coverage = std::clamp(radius - std::sqrt(dx * dx + dy * dy) + 0.5, 0.0, 1.0);
            if (coverage >= 1.0) {
                continue;
            }
            for (const auto& [px, py] :
                 {std::pair{x, y}, std::pair{width - 1 - x, y}, std::pair{x, height - 1 - y},
                  std::pair{width - 1 - x, height - 1 - y}}) {
                uint8_t* p = buffer.data(0) + static_cast<ptrdiff_t>(py) * buffer.stride(0) + px * 4;
                for (int c = 0; c < 4; ++c) {
                    p[c] = static_cast<uint8_t>(std::lround(p[c] * coverage));
                }
            }
        }
    }
}

}  // namespace

void letterboxForScreen(PixelTransfer& transfer, const PixelBuffer& source, const PixelBuffer& destination) {
    if (!source || source.format() != PixelFormat::bgra) {
        letterbox(transfer, source, destination);
        return;
    }
    if (!destination || destination.format() != PixelFormat::bgra) {
        throw PixelBufferError("letterboxing needs a picture and a BGRA destination");
    }
    // libswscale scales BGRA by way of YUV and back: a 1080p picture took it about ten times as long as Qt's
    // bilinear drawing. Qt's area-averaging scaled() looks better when shrinking by more than half but costs
    // twice the CPU, and a second copy; on screen the difference is hard to see.
    const FitRect fit = fillAroundFit(destination, source.width(), source.height());
    const QImage picture(source.data(0), source.width(), source.height(), source.stride(0),
                         QImage::Format_ARGB32_Premultiplied);
    QImage target(destination.data(0), destination.width(), destination.height(), destination.stride(0),
                  QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&target);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(fit.x, fit.y, fit.width, fit.height), picture);
}

// The hand-off between the thread that delivers pictures and the GUI thread. The state mutex guards the
// fields below it up to `transfer`; the convert mutex serialises the conversions, and the state mutex is
// never held while converting.
struct VideoItem::Converter {
    struct Target {
        QSize size;
        int radius = 0;
        bool operator==(const Target&) const = default;
    };

    std::mutex stateMutex;
    VideoItem* item = nullptr;  // null once the item is gone or has lost its feed
    bool updatePosted = false;
    Target target;
    PixelBuffer source;  // the newest picture; null for black
    uint64_t sourceGeneration = 0;
    PixelBuffer result;  // `source` at `resultTarget`
    Target resultTarget;
    uint64_t resultGeneration = 0;
    bool resultIsNew = false;
    bool onScreen = false;  // visible in a shown window that is not minimised
    std::atomic<uint64_t> conversions = 0;

    std::mutex convertMutex;
    PixelTransfer transfer{TransferQuality::display};
    std::optional<PixelBufferPool> pool;

    // On the delivering thread: takes the renderer's newest picture and converts it for the item.
    void deliver(VideoRenderer& renderer) {
        const VideoRenderer::Frame frame = renderer.currentFrame();
        Target wanted;
        {
            std::lock_guard lock(stateMutex);
            if (item == nullptr || frame.generation < sourceGeneration) {
                return;
            }
            source = frame.picture;
            sourceGeneration = frame.generation;
            wanted = target;
            if (!onScreen) {
                // Nobody would see it: the item converts the newest picture when it comes back on screen, and
                // a conversion still under way for an older one must not take its place.
                result = PixelBuffer();
                resultGeneration = frame.generation;
                return;
            }
        }
        PixelBuffer converted = wanted.size.isEmpty() ? PixelBuffer() : compose(frame.picture, wanted);
        std::lock_guard lock(stateMutex);
        if (converted && wanted == target && frame.generation >= resultGeneration) {
            result = std::move(converted);
            resultTarget = wanted;
            resultGeneration = frame.generation;
            resultIsNew = true;
        }
        postUpdate();
    }

    // Any thread: the picture at the target's size, letterboxed on black, corners rounded.
    PixelBuffer compose(const PixelBuffer& picture, const Target& wanted) {
        std::lock_guard lock(convertMutex);
        conversions.fetch_add(1, std::memory_order_relaxed);
        if (!pool || pool->width() != wanted.size.width() || pool->height() != wanted.size.height()) {
            pool.emplace(PixelFormat::bgra, wanted.size.width(), wanted.size.height(), 3);
        }
        PixelBuffer buffer = pool->make();
        try {
            if (picture) {
                letterboxForScreen(transfer, picture, buffer);
            } else {
                fillBlack(buffer);
            }
        } catch (const PixelBufferError&) {
            fillBlack(buffer);
        }
        roundCorners(buffer, wanted.radius);
        return buffer;
    }

    // Under the state mutex.
    void postUpdate() {
        if (item == nullptr || updatePosted) {
            return;
        }
        updatePosted = true;
        // Queued to the item's thread; Qt drops the call if the item is destroyed first, and the item's
        // destructor clears `item` under this mutex before that can happen.
        VideoItem* target = item;
        QMetaObject::invokeMethod(
            target, [target] { target->update(); }, Qt::QueuedConnection);
    }
};

VideoItem::VideoItem(QQuickItem* parent) : QQuickItem(parent), converter_(std::make_shared<Converter>()) {
    setFlag(ItemHasContents, true);
    converter_->item = this;
}

VideoItem::~VideoItem() {
    if (feed_) {
        feed_->remove(this);
    }
    std::lock_guard lock(converter_->stateMutex);
    converter_->item = nullptr;
}

void VideoItem::setFeed(VideoFeed* feed) {
    if (feed_ == feed) {
        return;
    }
    if (feed_) {
        disconnect(feed_, nullptr, this, nullptr);
        feed_->remove(this);
    }
    feed_ = feed;
    lostFeed();  // black until the feed gives this item its pictures
    if (feed_) {
        connect(feed_, &QObject::destroyed, this, [this] {
            lostFeed();
            emit feedChanged();
        });
        feed_->add(this);
        if (isVisible()) {
            feed_->shown(this);
        }
    }
    emit feedChanged();
}

void VideoItem::receive(const std::shared_ptr<VideoRenderer>& renderer) {
    {
        std::lock_guard lock(converter_->stateMutex);
        converter_->item = this;
        converter_->source = PixelBuffer();
        converter_->sourceGeneration = 0;
        converter_->result = PixelBuffer();
        converter_->resultGeneration = 0;
    }
    if (renderer) {
        std::weak_ptr<VideoRenderer> weakRenderer = renderer;
        renderer->changed.set([converter = converter_, weakRenderer](uint64_t) {
            if (auto strong = weakRenderer.lock()) {
                converter->deliver(*strong);
            }
        });
        converter_->deliver(*renderer);
    }
    update();
}

quint64 VideoItem::conversionCount() const {
    return converter_->conversions.load(std::memory_order_relaxed);
}

void VideoItem::updateOnScreen() {
    const bool onScreen = isOnScreen(*this);
    {
        std::lock_guard lock(converter_->stateMutex);
        if (converter_->onScreen == onScreen) {
            return;
        }
        converter_->onScreen = onScreen;
    }
    if (onScreen) {
        update();
    }
}

void VideoItem::itemChange(ItemChange change, const ItemChangeData& value) {
    QQuickItem::itemChange(change, value);
    if (change == ItemSceneChange) {
        disconnect(windowConnections_[0]);
        disconnect(windowConnections_[1]);
        if (value.window != nullptr) {
            windowConnections_[0] =
                connect(value.window, &QWindow::visibleChanged, this, &VideoItem::updateOnScreen);
            windowConnections_[1] =
                connect(value.window, &QWindow::windowStateChanged, this, &VideoItem::updateOnScreen);
        }
    }
    if (change == ItemSceneChange || change == ItemVisibleHasChanged) {
        updateOnScreen();
    }
    if (change == ItemVisibleHasChanged && feed_) {
        if (value.boolValue) {
            feed_->shown(this);
        } else {
            feed_->hidden(this);
        }
    }
}

void VideoItem::setRadius(qreal radius) {
    radius = std::max<qreal>(radius, 0);
    if (qFuzzyCompare(radius_ + 1, radius + 1)) {
        return;
    }
    radius_ = radius;
    update();
    emit radiusChanged();
}

void VideoItem::lostFeed() {
    {
        std::lock_guard lock(converter_->stateMutex);
        converter_->source = PixelBuffer();
        converter_->result = PixelBuffer();
        // Pictures still in flight from the renderer now belong to the other item.
        converter_->sourceGeneration = UINT64_MAX;
        converter_->resultGeneration = UINT64_MAX;
    }
    update();
}

void VideoItem::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) {
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size()) {
        update();
    }
}

QSGNode* VideoItem::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const Converter::Target target{QSize(qRound(width() * ratio), qRound(height() * ratio)),
                                   static_cast<int>(std::lround(radius_ * ratio))};
    if (target.size.isEmpty() || target.size.width() > PixelBuffer::kMaximumDimension ||
        target.size.height() > PixelBuffer::kMaximumDimension) {
        delete old;
        return nullptr;
    }
    PixelBuffer upload;
    PixelBuffer source;
    bool recompose = false;
    {
        std::lock_guard lock(converter_->stateMutex);
        converter_->updatePosted = false;
        converter_->target = target;
        if (converter_->result && converter_->resultTarget == target) {
            if (converter_->resultIsNew || old == nullptr) {
                upload = converter_->result;
                converter_->resultIsNew = false;
            }
        } else {
            recompose = true;
            source = converter_->source;
        }
    }
    if (recompose) {
        // A new size or radius, or black: converted here once, then again on the delivering thread.
        upload = converter_->compose(source, target);
        std::lock_guard lock(converter_->stateMutex);
        if (converter_->target == target && converter_->sourceGeneration != UINT64_MAX) {
            converter_->result = upload;
            converter_->resultTarget = target;
            converter_->resultIsNew = false;
        }
    }

    auto* node = static_cast<QSGImageNode*>(old);
    if (node == nullptr) {
        node = window()->createImageNode();
        node->setOwnsTexture(true);
        node->setFiltering(QSGTexture::Linear);
    }
    if (upload) {
        auto* holder = new PixelBuffer(upload);
        const QImage image(
            upload.data(0), upload.width(), upload.height(), upload.stride(0),
            QImage::Format_ARGB32_Premultiplied, [](void* info) { delete static_cast<PixelBuffer*>(info); },
            holder);
        node->setTexture(window()->createTextureFromImage(image, QQuickWindow::TextureHasAlphaChannel));
        ++uploads_;
    }
    node->setRect(boundingRect());
    return node;
}

}  // namespace kelvora
