#include "receiver/session/views/WindowHeight.h"

#include <QEvent>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvora {
namespace {

// Qt's largest window side (QWINDOWSIZE_MAX).
constexpr int kUnbounded = (1 << 24) - 1;
// The window manager answers a new height within a few events: a resize, new frame extents (a resize handle
// coming or going), a move of its own. A user's move long after is the user's.
constexpr int kPlacementSettleMs = 1000;
constexpr int kPlacementCorrections = 3;

}  // namespace

QPoint placedWithin(const QRect& frame, const QRect& area) {
    return {std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() + 1 - frame.width())),
            std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() + 1 - frame.height()))};
}

WindowHeight::WindowHeight(QObject* parent) : QObject(parent) {}

void WindowHeight::setWindow(QQuickWindow* window) {
    if (window_ == window) {
        return;
    }
    if (window_) {
        window_->removeEventFilter(this);
        disconnect(window_, nullptr, this, nullptr);
    }
    window_ = window;
    free_ = false;
    placementPending_ = true;
    if (window_) {
        // The frame is known only once the window manager has framed the window: the first exposure.
        window_->installEventFilter(this);
        connect(window_, &QWindow::screenChanged, this, [this] { watchScreen(); });
        watchScreen();
    }
    emit windowChanged();
    apply();
}

void WindowHeight::setContentHeight(qreal height) {
    if (contentHeight_ != height) {
        contentHeight_ = height;
        emit contentHeightChanged();
        apply();
    }
}

void WindowHeight::setFitsContent(bool fits) {
    if (fitsContent_ != fits) {
        fitsContent_ = fits;
        placementPending_ = true;
        emit fitsContentChanged();
        apply();
    }
}

bool WindowHeight::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_) {
        return QObject::eventFilter(watched, event);
    }
    const QEvent::Type type = event->type();
    if (type == QEvent::Expose && fitsContent_) {
        fit();
    }
    // The frame, and where the window manager put it, are known only once it has framed the window. A
    // height chosen before that may reach, with the title bar, past the free area; and a manager places
    // a window taller than the area with its lower edge on the area's, the title bar under a top panel.
    if ((type == QEvent::Expose || type == QEvent::Resize || type == QEvent::Move) && window_->isExposed()) {
        if (placementPending_) {
            placementPending_ = false;
            placementUntil_.setRemainingTime(kPlacementSettleMs);
            placementCorrections_ = 0;
        }
        if (!placementUntil_.hasExpired() && placementCorrections_ < kPlacementCorrections &&
            placeWithinFreeArea()) {
            ++placementCorrections_;
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowHeight::watchScreen() {
    disconnect(screenConnection_);
    if (QScreen* screen = window_ ? window_->screen() : nullptr) {
        screenConnection_ = connect(screen, &QScreen::availableGeometryChanged, this, [this] { apply(); });
    }
    apply();
}

int WindowHeight::availableHeight() const {
    const QScreen* screen = window_->screen();
    if (screen == nullptr) {
        return std::numeric_limits<int>::max();
    }
    const QMargins frame = window_->frameMargins();
    return std::max(1, screen->availableGeometry().height() - frame.top() - frame.bottom());
}

bool WindowHeight::placeWithinFreeArea() {
    const QScreen* screen = window_->screen();
    if (screen == nullptr) {
        return false;
    }
    bool changed = false;
    if (!fitsContent_) {
        const int available = availableHeight();
        if (window_->height() > available) {
            window_->setMinimumHeight(std::min(freeMinimumHeight_, available));
            window_->setHeight(available);
            changed = true;
        }
    }
    const QRect frame = window_->frameGeometry();
    const int top = placedWithin(frame, screen->availableGeometry()).y();
    if (top != frame.top()) {
        // Moved by its client area, as everywhere else: the frame's own position is taken by managers as
        // the client's, or shifted by extents not yet known.
        window_->setY(window_->y() + top - frame.top());
        changed = true;
    }
    return changed;
}

void WindowHeight::apply() {
    if (!window_) {
        return;
    }
    if (fitsContent_) {
        free_ = false;
        fit();
        return;
    }
    // Where the screen's free area is lower than the rule asks, the window fits it, smaller than asked.
    const int available = availableHeight();
    window_->setMaximumHeight(kUnbounded);
    window_->setMinimumHeight(std::min(freeMinimumHeight_, available));
    if (!free_) {
        free_ = true;
        window_->setHeight(std::min(std::max(freeHeight_, freeMinimumHeight_), available));
    }
}

void WindowHeight::fit() {
    // Before the content has laid out it asks for nothing; a window of height 0 helps no one.
    const int wanted = static_cast<int>(std::ceil(contentHeight_));
    if (!window_ || wanted <= 0) {
        return;
    }
    const int target = std::min(wanted, availableHeight());
    window_->setMinimumHeight(std::min(window_->minimumHeight(), target));
    window_->setMaximumHeight(std::max(window_->maximumHeight(), target));
    window_->setHeight(target);
    window_->setMinimumHeight(target);
    window_->setMaximumHeight(target);
}

}  // namespace kelvora
