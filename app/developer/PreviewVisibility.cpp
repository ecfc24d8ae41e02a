#include "app/developer/PreviewVisibility.h"

#include <QQuickWindow>

#include <algorithm>

#include "app/model/SenderController.h"
#include "receiver/session/views/OnScreen.h"

namespace kelvora {

PreviewVisibility::PreviewVisibility(std::function<void(bool)> apply, QObject* parent)
    : QObject(parent), apply_(std::move(apply)) {
    if (apply_) {
        apply_(shown_);
    }
}

std::function<void(bool)> PreviewVisibility::mainPreviewOf(SenderController& controller) {
    QPointer<SenderController> target(&controller);
    return [target](bool shown) {
        if (target) {
            target->setMainPreviewVisible(shown);
        }
    };
}

std::function<void(bool)> PreviewVisibility::menuPreviewOf(SenderController& controller) {
    QPointer<SenderController> target(&controller);
    return [target](bool shown) {
        if (target) {
            target->setMenuPreviewVisible(shown);
        }
    };
}

void PreviewVisibility::addHost(QQuickItem* host) {
    if (!host || std::find(hosts_.begin(), hosts_.end(), host) != hosts_.end()) {
        return;
    }
    hosts_.emplace_back(host);
    connect(host, &QQuickItem::visibleChanged, this, &PreviewVisibility::update);
    connect(host, &QQuickItem::windowChanged, this, [this](QQuickWindow* window) {
        watchWindow(window);
        update();
    });
    connect(host, &QObject::destroyed, this, &PreviewVisibility::update);
    watchWindow(host->window());
    update();
}

void PreviewVisibility::removeHost(QQuickItem* host) {
    const auto found = std::find(hosts_.begin(), hosts_.end(), host);
    if (found == hosts_.end()) {
        return;
    }
    hosts_.erase(found);
    disconnect(host, nullptr, this, nullptr);
    update();
}

void PreviewVisibility::watchWindow(QQuickWindow* window) {
    std::erase_if(windows_, [](const QPointer<QQuickWindow>& known) { return known.isNull(); });
    if (!window || std::find(windows_.begin(), windows_.end(), window) != windows_.end()) {
        return;
    }
    windows_.emplace_back(window);
    connect(window, &QWindow::visibleChanged, this, &PreviewVisibility::update);
    connect(window, &QWindow::windowStateChanged, this, &PreviewVisibility::update);
    connect(window, &QObject::destroyed, this, &PreviewVisibility::update);
}

void PreviewVisibility::update() {
    std::erase_if(hosts_, [](const QPointer<QQuickItem>& host) { return host.isNull(); });
    const bool shown = std::any_of(hosts_.begin(), hosts_.end(),
                                   [](const QPointer<QQuickItem>& host) { return isOnScreen(*host); });
    if (shown == shown_) {
        return;
    }
    shown_ = shown;
    if (apply_) {
        apply_(shown);
    }
    emit shownChanged();
}

PreviewHost::PreviewHost(QQuickItem* parent) : QQuickItem(parent) {}

PreviewHost::~PreviewHost() {
    if (visibility_) {
        visibility_->removeHost(this);
    }
}

void PreviewHost::setVisibility(PreviewVisibility* visibility) {
    if (visibility_ == visibility) {
        return;
    }
    if (visibility_) {
        visibility_->removeHost(this);
    }
    visibility_ = visibility;
    if (visibility_) {
        visibility_->addHost(this);
    }
    emit visibilityChanged();
}

}  // namespace kelvora
