#include "app/shell/WindowService.h"

#include "app/developer/NameEdit.h"

#include <QQmlComponent>

#include "core/Log.h"

namespace kelvora {

WindowService::WindowService(QQmlEngine& engine, QObject* parent) : QObject(parent), engine_(engine) {}

WindowService::~WindowService() {
    closeAll();
}

void WindowService::define(const QString& id, const QUrl& source, const QVariantMap& properties) {
    definitions_.insert(id, Definition{source, properties});
}

void WindowService::open(const QString& id) {
    open(id, {});
}

void WindowService::open(const QString& id, const std::function<void(QQuickWindow&)>& place) {
    QQuickWindow* window = this->window(id);
    if (!window) {
        window = create(id);
        if (!window) {
            return;
        }
    }
    if (place && !window->isVisible()) {
        place(*window);
    }
    if (window->windowStates() & Qt::WindowMinimized) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->requestActivate();
    emit opened(id);
}

QQuickWindow* WindowService::window(const QString& id) const {
    return windows_.value(id).data();
}

bool WindowService::hasVisibleWindow() const {
    for (const auto& window : windows_) {
        if (window && window->isVisible() && !(window->windowStates() & Qt::WindowMinimized)) {
            return true;
        }
    }
    return false;
}

bool WindowService::restoreMinimised() {
    for (const auto& window : windows_) {
        if (window && window->isVisible() && (window->windowStates() & Qt::WindowMinimized)) {
            window->showNormal();
            window->raise();
            window->requestActivate();
            return true;
        }
    }
    return false;
}

void WindowService::commitPendingEdits() {
    NameEdit::commitPending();
}

void WindowService::closeAll() {
    auto windows = windows_.values() + closed_;
    windows_.clear();
    closed_.clear();
    for (const auto& window : windows) {
        delete window.data();
    }
}

QQuickWindow* WindowService::create(const QString& id) {
    const auto definition = definitions_.constFind(id);
    if (definition == definitions_.constEnd()) {
        Log::capture().error("Unbekanntes Fenster: {}", id.toStdString());
        return nullptr;
    }
    QQmlComponent component(&engine_, definition->source);
    QObject* object = component.createWithInitialProperties(definition->properties);
    auto* window = qobject_cast<QQuickWindow*>(object);
    if (!window) {
        Log::capture().error("Fenster „{}“ lässt sich nicht bauen: {}", id.toStdString(),
                             component.errorString().toStdString());
        delete object;
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(window, QQmlEngine::CppOwnership);
    windows_.insert(id, window);
    // Hidden means closed: the window goes, and with it whatever its views kept running.
    connect(window, &QWindow::visibleChanged, this, [this, id, window](bool visible) {
        if (!visible && windows_.value(id) == window) {
            // A name typed into one of its fields is kept when the window closes.
            NameEdit::commitPending(window);
            windows_.remove(id);
            closed_.removeAll(nullptr);
            closed_.append(window);
            window->deleteLater();
        }
    });
    return window;
}

}  // namespace kelvora
