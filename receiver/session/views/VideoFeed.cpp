#include "receiver/session/views/VideoFeed.h"

#include "receiver/session/views/VideoItem.h"

#include <algorithm>

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

VideoItem* VideoFeed::attachedItem() const {
    return attached_;
}

void VideoFeed::add(VideoItem* item) {
    if (std::find(items_.begin(), items_.end(), item) == items_.end()) {
        items_.insert(items_.begin(), item);  // not yet on screen: the oldest claim
    }
}

void VideoFeed::remove(VideoItem* item) {
    std::erase_if(items_, [item](const QPointer<VideoItem>& known) { return !known || known == item; });
    if (attached_ != item) {
        return;
    }
    // The item is going or shows another feed: it is not told, and the pictures go on elsewhere or nowhere.
    attached_ = nullptr;
    if (!handOver(item) && renderer_) {
        renderer_->changed.set(nullptr);
    }
}

void VideoFeed::shown(VideoItem* item) {
    std::erase_if(items_, [item](const QPointer<VideoItem>& known) { return !known || known == item; });
    items_.push_back(item);
    give(item);
}

void VideoFeed::hidden(VideoItem* item) {
    // Nobody else on screen: the hidden item keeps the pictures, so a restored window shows them at once.
    if (attached_ == item) {
        handOver(item);
    }
}

bool VideoFeed::handOver(VideoItem* leaving) {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (*it && *it != leaving && (*it)->isVisible()) {
            give(*it);
            return true;
        }
    }
    return false;
}

void VideoFeed::give(VideoItem* item) {
    if (attached_ == item) {
        return;
    }
    VideoItem* previous = attached_;
    attached_ = item;
    if (previous) {
        previous->lostFeed();
    }
    item->receive(renderer_);
}

}  // namespace kelvora
