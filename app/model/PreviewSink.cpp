#include "app/model/PreviewSink.h"

#include "app/preview/PreviewRenderer.h"

namespace kelvora {

void LatestPicturePreview::submit(const PixelBuffer& picture) {
    std::lock_guard lock(mutex_);
    latest_ = picture;
    ++submitted_;
}

void LatestPicturePreview::clear() {
    std::lock_guard lock(mutex_);
    latest_ = PixelBuffer();
    ++cleared_;
}

PixelBuffer LatestPicturePreview::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

uint64_t LatestPicturePreview::submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
}

uint64_t LatestPicturePreview::cleared() const {
    std::lock_guard lock(mutex_);
    return cleared_;
}

RendererPreview::RendererPreview(VideoDimensions size)
    : renderer_(std::make_unique<PreviewRenderer>(size.width, size.height)) {}

RendererPreview::~RendererPreview() = default;

void RendererPreview::submit(const PixelBuffer& picture) {
    renderer_->submit(picture);
}

void RendererPreview::clear() {
    renderer_->clear();
}

bool PreviewThrottle::admit(uint64_t captureTime) {
    // Signed: a picture from before the mark gives a negative interval instead of a huge one.
    const double elapsedMs = static_cast<double>(static_cast<int64_t>(captureTime - last_)) / 1e6;
    if (elapsedMs < minimumMs_) {
        return false;
    }
    last_ = captureTime;
    return true;
}

void PreviewGate::setMainVisible(bool visible) {
    std::lock_guard lock(mutex_);
    mainVisible_ = visible;
}

void PreviewGate::setMenuVisible(bool visible) {
    std::lock_guard lock(mutex_);
    menuVisible_ = visible;
}

PreviewGate::Due PreviewGate::admit(uint64_t captureTime) {
    std::lock_guard lock(mutex_);
    Due due;
    due.main = mainVisible_ && main_.admit(captureTime);
    due.menu = menuVisible_ && menu_.admit(captureTime);
    return due;
}

uint64_t PreviewGate::lastMain() const {
    std::lock_guard lock(mutex_);
    return main_.last();
}

uint64_t PreviewGate::lastMenu() const {
    std::lock_guard lock(mutex_);
    return menu_.last();
}

}  // namespace kelvora
