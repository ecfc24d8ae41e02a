// The sender's real test pattern reaching a viewer over QUIC on loopback, and the fall-back to TCP when the
// sender has no usable identity.

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "PipelineTesting.h"
#include "receiver/session/ReceiverSession.h"
#include "sender/server/QUICIdentityStore.h"
#include "support/TestIdentity.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

// A sender on the real test pattern with QUIC enabled, its identity kept in `applicationFolder`.
struct QuicSender {
    std::shared_ptr<SenderPipeline> pipeline;
    testing::Eventually<SenderStatus> statuses;

    explicit QuicSender(const std::filesystem::path& applicationFolder) {
        SenderSettings settings = testing::testSettings("QUIC " + std::to_string(getpid()));
        settings.enabledEngines = {"tcp", "quic"};
        settings.resolution = VideoDimensions::hd720();
        SenderPipeline::Options options;
        options.applicationFolder = applicationFolder;
        options.autoSourceRecovery = [] { return false; };
        pipeline = SenderPipeline::create(settings, "QUIC-E2E-" + std::to_string(getpid()), {}, options);
        pipeline->setStatusHandler([this](SenderStatus status) { statuses.push(status); });
        pipeline->start();
    }
    ~QuicSender() {
        pipeline->stop();
        pipeline->queue().sync([] {});
    }

    std::optional<SenderStatus> liveStatus() {
        return statuses.waitFor([](const SenderStatus& s) { return s.isLive() && s.controlPort; }, 30s);
    }
};

std::optional<EngineStatus> engineRow(const SenderStatus& status, const EngineKind& kind) {
    for (const auto& row : status.engines) {
        if (row.kind == kind) {
            return row;
        }
    }
    return std::nullopt;
}

// A viewer asking for QUIC that counts the pictures it shows.
struct QuicViewer {
    std::shared_ptr<ReceiverSession> session;
    testing::Eventually<ReceiverSession::Event> events;
    std::mutex mutex;
    std::condition_variable presented;
    int pictures = 0;

    explicit QuicViewer(uint16_t port) {
        session = ReceiverSession::create(EngineKind::quic(), NetworkEndpoint::hostPort("127.0.0.1", port),
                                          ReceiverIdentity{"QUIC-E2E-VIEWER", "QUIC-Test", "Linux"});
        session->setSmoothingEnabled(false);
        session->setEventHandler([this](const ReceiverSession::Event& event) { events.push(event); });
        session->frameOutput.set([this](PixelBuffer) {
            std::lock_guard lock(mutex);
            ++pictures;
            presented.notify_all();
        });
        session->start();
    }
    ~QuicViewer() {
        session->stop();
        session->queue().sync([] {});
    }

    std::optional<WelcomeMessage> welcome() {
        auto connected = events.waitFor(
            [](const auto& event) { return std::holds_alternative<ReceiverSession::Connected>(event); }, 30s);
        if (!connected) {
            return std::nullopt;
        }
        return std::get<ReceiverSession::Connected>(*connected).welcome;
    }
    bool waitForPictures(int count) {
        std::unique_lock lock(mutex);
        return presented.wait_for(lock, 60s, [&] { return pictures >= count; });
    }
};

TEST(QuicEndToEnd, TheTestPatternArrivesOverQuicAndDecodesWithoutErrors) {
    test::TemporaryFolder home;
    QuicSender sender(home.path() / "Kelvora");
    auto live = sender.liveStatus();
    ASSERT_TRUE(live);
    // The identity was made in the given folder, not in the user's own.
    EXPECT_TRUE(std::filesystem::exists(home.path() / "Kelvora" / QUICIdentityStore::containerFileName));
    auto quicRow = engineRow(*live, EngineKind::quic());
    ASSERT_TRUE(quicRow);
    EXPECT_TRUE(quicRow->isAvailable) << quicRow->detail;

    QuicViewer viewer(*live->controlPort);
    auto welcome = viewer.welcome();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->engine, EngineKind::quic());
    EXPECT_TRUE(welcome->engineParameters.count("quicPort"));
    EXPECT_TRUE(welcome->engineParameters.count("quicFingerprint"));
    ASSERT_TRUE(viewer.waitForPictures(60));

    const PlaybackStatistics statistics = viewer.session->statistics();
    EXPECT_EQ(statistics.engine, EngineKind::quic());
    EXPECT_GE(statistics.framesDecoded, 1);
    EXPECT_EQ(statistics.decodeErrors, 0);
    // The sender counts the viewer on the QUIC engine.
    EXPECT_TRUE(sender.statuses.waitFor(
        [](const SenderStatus& s) {
            auto row = engineRow(s, EngineKind::quic());
            return row && row->clientCount == 1;
        },
        30s));
}

TEST(QuicEndToEnd, WithoutAUsableIdentityQuicIsNotOfferedAndTheViewerGetsTcp) {
    test::TemporaryFolder home;
    // A plain file where the application folder would be: no identity can be stored or made there.
    const auto blocked = home.path() / "Kelvora";
    std::ofstream(blocked) << "not a folder";
    QuicSender sender(blocked);
    auto live = sender.liveStatus();
    ASSERT_TRUE(live);
    auto quicRow = engineRow(*live, EngineKind::quic());
    ASSERT_TRUE(quicRow);
    EXPECT_FALSE(quicRow->isAvailable);
    EXPECT_FALSE(quicRow->detail.empty());

    QuicViewer viewer(*live->controlPort);
    auto welcome = viewer.welcome();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->engine, EngineKind::tcp());
    EXPECT_TRUE(welcome->engineParameters.empty());
    ASSERT_TRUE(viewer.waitForPictures(10));
    EXPECT_EQ(viewer.session->statistics().engine, EngineKind::tcp());
}

}  // namespace
}  // namespace kelvora
