#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>

namespace kelvora {

// The program's windows by their identifiers ("main", "settings", "licenses"): opening one creates it from
// its QML file or, when it exists, brings it forward and restores it from the task bar. A closed window is
// destroyed, so the next opening starts afresh. Works from the first moment, with or without a tray.
class WindowService final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("the program owns its window service")

  public:
    explicit WindowService(QQmlEngine& engine, QObject* parent = nullptr);
    ~WindowService() override;

    // What `open(id)` builds: the QML file and the properties it is made with.
    void define(const QString& id, const QUrl& source, const QVariantMap& properties);

    Q_INVOKABLE void open(const QString& id);
    // As above; `place` positions the window before it is first shown, so it never appears elsewhere first.
    void open(const QString& id, const std::function<void(QQuickWindow&)>& place);
    // The open window, or nothing.
    QQuickWindow* window(const QString& id) const;
    // Shown and not minimised.
    bool hasVisibleWindow() const;
    // Restores the first minimised window; false when there is none.
    bool restoreMinimised();
    // Every field commits what it holds but has not yet handed on (a name being typed); the program calls
    // this on its way out.
    void commitPendingEdits();
    void closeAll();

  signals:
    void opened(const QString& id);

  private:
    struct Definition {
        QUrl source;
        QVariantMap properties;
    };

    QQuickWindow* create(const QString& id);

    QQmlEngine& engine_;
    QHash<QString, Definition> definitions_;
    QHash<QString, QPointer<QQuickWindow>> windows_;
    // Closed windows waiting for the event loop to delete them; `closeAll` does not wait.
    QList<QPointer<QQuickWindow>> closed_;
};

}  // namespace kelvora
