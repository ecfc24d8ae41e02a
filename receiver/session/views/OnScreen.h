#pragma once

#include <QQuickItem>
#include <QQuickWindow>

namespace kelvora {

// Whether someone could see `item`: it and every item above it are visible, in a window that is shown and
// not minimised. Callers that follow this watch the item's visibility and its window's visibility and state.
inline bool isOnScreen(const QQuickItem& item) {
    const QQuickWindow* window = item.window();
    return item.isVisible() && window != nullptr && window->isVisible() &&
           !(window->windowStates() & Qt::WindowMinimized);
}

}  // namespace kelvora
