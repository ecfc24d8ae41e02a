#include "app/ui/VideoFeed.h"

#include "app/ui/VideoItem.h"

namespace kelvora {

VideoFeed::VideoFeed(std::shared_ptr<VideoRenderer> renderer, QObject* parent)
    : QObject(parent), renderer_(std::move(renderer)) {}

VideoFeed::~VideoFeed() {
    if (renderer_) {
        renderer_->changed.set(nullptr);
    }
    if (attached_) {
        attached_->lostFeed();
    }
}

void VideoFeed::attach(VideoItem* item) {
    if (attached_ == item) {
        return;
    }
    VideoItem* previous = attached_;
    attached_ = item;
    if (previous) {
        previous->lostFeed();
    }
}

void VideoFeed::detach(VideoItem* item) {
    if (attached_ != item) {
        return;
    }
    attached_ = nullptr;
    if (renderer_) {
        renderer_->changed.set(nullptr);
    }
}

}  // namespace kelvora
