#include "app/model/Updater.h"

#include "app/model/LinuxPlatformServices.h"

namespace kelvora {

Updater::Updater(std::shared_ptr<UpdaterBackend> backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend)), hop_(std::make_shared<MainThreadHop>(this)) {
    backend_->start(MainThreadHop::bind<bool>(hop_, [this](bool canCheck) {
        if (canCheck_ != canCheck) {
            canCheck_ = canCheck;
            emit canCheckForUpdatesChanged();
        }
    }));
}

Updater::~Updater() {
    hop_->close();
}

Updater& Updater::shared() {
    // Never deleted: nothing of it is left for static destruction.
    static Updater* updater = new Updater(std::make_shared<PackageManagerUpdaterBackend>());
    return *updater;
}

void Updater::checkForUpdates() {
    if (canCheck_) {
        backend_->checkForUpdates();
    }
}

}  // namespace kelvora
