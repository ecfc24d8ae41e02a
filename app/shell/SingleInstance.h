#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace kelvora {

// One running sender per user: two would announce the same sender id. The first launch listens on a local
// socket of the user's own; a later launch finds it, asks it to open its main window and leaves.
//
// Whatever connects is read as hostile: only the first few bytes of a connection count, a connection that
// says nothing is dropped after a short while, and only the one known request has an effect.
class SingleInstance final : public QObject {
    Q_OBJECT

  public:
    // `socketName` is a full path; see `defaultSocketName`.
    explicit SingleInstance(QString socketName, QObject* parent = nullptr);

    // `$XDG_RUNTIME_DIR/app.kelvora.sender` where that folder is set (it belongs to the user alone), else a
    // name in the temporary folder that carries the user id.
    static QString defaultSocketName();

    // True when this process is now the running instance. False when another instance answered and took
    // the request to open its main window.
    bool claim();

  signals:
    // A later launch asked for the main window.
    void activationRequested();

  private:
    bool askRunningInstance() const;
    void accept();

    const QString socketName_;
    QLocalServer server_;
};

}  // namespace kelvora
