#include "app/model/Updater.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

using namespace kelvora;

namespace {

struct FakeBackend final : UpdaterBackend {
    std::function<void(bool)> changed;
    int checks = 0;
    void start(std::function<void(bool)> handler) override {
        changed = std::move(handler);
        changed(true);
    }
    void checkForUpdates() override { ++checks; }
};

}  // namespace

TEST(Updater, FollowsTheBackendThroughTheEventLoop) {
    auto backend = std::make_shared<FakeBackend>();
    Updater updater(backend);
    // The first value arrives later, so a menu built now shows the command disabled.
    EXPECT_FALSE(updater.canCheckForUpdates());
    updater.checkForUpdates();
    EXPECT_EQ(backend->checks, 0);
    QSignalSpy spy(&updater, &Updater::canCheckForUpdatesChanged);
    ASSERT_TRUE(spy.wait(10000));
    updater.checkForUpdates();
    EXPECT_EQ(backend->checks, 1);
    backend->changed(false);
    QCoreApplication::processEvents();
    EXPECT_FALSE(updater.canCheckForUpdates());
}

TEST(Updater, ThePackageManagerBackendNeverAllowsACheck) {
    Updater& shared = Updater::shared();
    EXPECT_EQ(&shared, &Updater::shared());
    QCoreApplication::processEvents();
    EXPECT_FALSE(shared.canCheckForUpdates());
    EXPECT_EQ(Updater::checkForUpdatesTitle(), QString("Nach Updates suchen …"));
}
