#pragma once

#include <QList>
#include <QQuickItem>
#include <QStringList>
#include <QtGlobal>

namespace kelvora::testing {

// Collects every warning and error Qt prints while it lives, so a scene test can show that its QML loaded
// and ran without complaint. One at a time: Qt has one message handler.
class QtWarnings {
  public:
    QtWarnings() {
        list().clear();
        previous_ = qInstallMessageHandler(&QtWarnings::handle);
    }
    ~QtWarnings() { qInstallMessageHandler(previous_); }
    QtWarnings(const QtWarnings&) = delete;
    QtWarnings& operator=(const QtWarnings&) = delete;

    QStringList all() const { return list(); }

  private:
    static QStringList& list() {
        static QStringList warnings;
        return warnings;
    }
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtDebugMsg && type != QtInfoMsg) {
            list().append(message);
        }
    }
    QtMessageHandler previous_;
};

// Every item named `name` at or below `root`, depth first along the visual tree: the items a Repeater makes
// are no QObject children of anything, so findChild does not see them.
inline QList<QQuickItem*> findItems(QQuickItem* root, const QString& name) {
    QList<QQuickItem*> found;
    QList<QQuickItem*> pending;  // a stack: depth first, in the order the items stand in the tree
    if (root) {
        pending.append(root);
    }
    while (!pending.isEmpty()) {
        QQuickItem* item = pending.takeLast();
        if (item->objectName() == name) {
            found.append(item);
        }
        const QList<QQuickItem*> children = item->childItems();
        for (auto child = children.crbegin(); child != children.crend(); ++child) {
            pending.append(*child);
        }
    }
    return found;
}

// The first item named `name` at or below `root`, or null.
inline QQuickItem* findItem(QQuickItem* root, const QString& name) {
    const QList<QQuickItem*> found = findItems(root, name);
    return found.isEmpty() ? nullptr : found.first();
}

}  // namespace kelvora::testing
