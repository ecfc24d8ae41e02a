#include "app/shell/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <future>

namespace kelvora {
namespace {

// The later launch blocks while it asks, so it runs on a thread of its own while the running one serves.
bool claimFromAnotherThread(const QString& name) {
    auto later = std::async(std::launch::async, [name] { return SingleInstance(name).claim(); });
    while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    return later.get();
}

TEST(SingleInstance, ALaterLaunchAsksTheRunningOneAndLeaves) {
    QTemporaryDir folder;
    const QString name = QDir(folder.path()).filePath("instance");
    SingleInstance running(name);
    ASSERT_TRUE(running.claim());
    QSignalSpy activations(&running, &SingleInstance::activationRequested);

    EXPECT_FALSE(claimFromAnotherThread(name));
    EXPECT_TRUE(activations.count() == 1 || activations.wait());
    EXPECT_EQ(activations.count(), 1);
}

TEST(SingleInstance, AStaleSocketIsTakenOverAndStrangersChangeNothing) {
    QTemporaryDir folder;
    const QString name = QDir(folder.path()).filePath("instance");
    {
        // A crashed instance leaves its socket file behind.
        QLocalServer crashed;
        crashed.setSocketOptions(QLocalServer::UserAccessOption);
        ASSERT_TRUE(crashed.listen(name));
        crashed.close();
        QFile(name).open(QIODevice::WriteOnly);
    }
    SingleInstance running(name);
    ASSERT_TRUE(running.claim());
    QSignalSpy activations(&running, &SingleInstance::activationRequested);

    for (const QByteArray& bytes :
         {QByteArray("open mainX"), QByteArray(64 * 1024, 'o'), QByteArray("open")}) {
        QLocalSocket stranger;
        stranger.connectToServer(name);
        ASSERT_TRUE(stranger.waitForConnected(5000));
        stranger.write(bytes);
        stranger.flush();
        QTest::qWait(50);
    }
    // Still serving, and only the real request counted.
    EXPECT_FALSE(claimFromAnotherThread(name));
    EXPECT_TRUE(activations.count() == 1 || activations.wait());
    EXPECT_EQ(activations.count(), 1);
}

}  // namespace
}  // namespace kelvora
