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

}  // namespace

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
    freeStartUnframed_ = false;
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
        emit fitsContentChanged();
        apply();
    }
}

bool WindowHeight::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Expose) {
        if (fitsContent_) {
            fit();
        } else if (freeStartUnframed_ && window_->isExposed()) {
            // The starting height was given before the frame and the place were known: with its title
            // bar, where the window manager put it (below a panel, say), the window may reach past the
            // free area's lower edge.
            freeStartUnframed_ = false;
            const int room = roomBelowTop();
            window_->setMinimumHeight(std::min(freeMinimumHeight_, room));
            window_->setHeight(std::min(window_->height(), room));
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

int WindowHeight::roomBelowTop() const {
    const QScreen* screen = window_->screen();
    if (screen == nullptr) {
        return std::numeric_limits<int>::max();
    }
    const QRect area = screen->availableGeometry();
    const QMargins frame = window_->frameMargins();
    const int top = std::clamp(window_->frameGeometry().top(), area.top(), area.bottom());
    return std::max(1, area.bottom() + 1 - top - frame.top() - frame.bottom());
}

void WindowHeight::apply() {
    if (!window_) {
        return;
    }
    if (fitsContent_) {
        free_ = false;
        freeStartUnframed_ = false;
        fit();
        return;
    }
    // Where the screen's free area is lower than the rule asks, the window fits it, smaller than asked.
    const int available = availableHeight();
    window_->setMaximumHeight(kUnbounded);
    window_->setMinimumHeight(std::min(freeMinimumHeight_, available));
    if (!free_) {
        free_ = true;
        freeStartUnframed_ = !window_->isExposed();
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
