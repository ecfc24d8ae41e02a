#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "app/model/MainThreadHop.h"
#include "app/model/PlatformServices.h"

namespace kelvora {

// The main-thread face of the updater: whether a user-started check may begin now, and the check itself.
// The flag starts false and then follows the backend, always delivered through the event loop (even the
// first value), so a menu built right after creation shows a disabled command.
class Updater final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(QString checkForUpdatesTitle READ checkForUpdatesTitle CONSTANT)

  public:
    explicit Updater(std::shared_ptr<UpdaterBackend> backend, QObject* parent = nullptr);
    ~Updater() override;

    // Made on first use with this system's backend; lives as long as the process.
    static Updater& shared();

    bool canCheckForUpdates() const { return canCheck_; }
    static QString checkForUpdatesTitle() { return QStringLiteral("Nach Updates suchen …"); }
    // The menu command; does nothing while no check may begin.
    Q_INVOKABLE void checkForUpdates();

  signals:
    void canCheckForUpdatesChanged();

  private:
    const std::shared_ptr<UpdaterBackend> backend_;
    const std::shared_ptr<MainThreadHop> hop_;
    bool canCheck_ = false;
};

}  // namespace kelvora
