#include "app/shell/program/AppShortcuts.h"

#include <QKeyEvent>
#include <QWindow>

#include "app/shell/MainWindowModel.h"

namespace kelvora {

AppShortcuts::AppShortcuts(MainWindowModel& commands, QObject* parent)
    : QObject(parent), commands_(commands) {}

bool AppShortcuts::eventFilter(QObject* watched, QEvent* event) {
    // Only the window's copy of the key: the items it is passed on to would see it a second time.
    if (event->type() != QEvent::KeyPress || !qobject_cast<QWindow*>(watched)) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers modifiers =
        key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier);
    if (modifiers == (Qt::ControlModifier | Qt::AltModifier) && key->key() == Qt::Key_D) {
        commands_.toggleDeveloperMode();
        return true;
    }
    if (modifiers == Qt::ControlModifier && key->key() == Qt::Key_Comma) {
        commands_.openSettings();
        return true;
    }
    if (modifiers == Qt::ControlModifier && key->key() == Qt::Key_Q) {
        commands_.quit();
        return true;
    }
    return false;
}

}  // namespace kelvora
