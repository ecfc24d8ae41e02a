// The sender's real test pattern reaching a viewer over QUIC on loopback, and the fall-back to TCP when the
// sender has no usable identity.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <mutex>

#include "PipelineTesting.h"
#include "core/MonotonicClock.h"
#include "receiver/session/ReceiverSession.h"
#include "sender/server/QUICIdentityStore.h"
#include "support/TestIdentity.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

// A sender on the test pattern with QUIC enabled, its identity kept in `applicationFolder`. The test hands
// it its pictures (stamped on the real clock), so no picture is still being encoded once the sender has
// stopped. What its handler fills is shared with the handler, which may still run once while the pipeline
// winds down.
struct QuicSender {
    std::shared_ptr<testing::ScriptedSources> sources = std::make_shared<testing::ScriptedSources>();
    std::shared_ptr<testing::ScriptedSource> source;
    int delivered = 0;
    std::shared_ptr<SenderPipeline> pipeline;
    std::shared_ptr<testing::Eventually<SenderStatus>> statuses =
        std::make_shared<testing::Eventually<SenderStatus>>();

    explicit QuicSender(const std::filesystem::path& applicationFolder) {
        SenderSettings settings = testing::testSettings("QUIC " + std::to_string(getpid()));
        settings.enabledEngines = {"tcp", "quic"};
        settings.resolution = VideoDimensions::hd720();
        SenderPipeline::Options options;
        options.applicationFolder = applicationFolder;
        options.announce = false;
        options.autoSourceRecovery = [] { return false; };
        options.sources = sources;
        pipeline = SenderPipeline::create(settings, "QUIC-E2E-" + std::to_string(getpid()), {}, options);
        pipeline->setStatusHandler([statuses = statuses](SenderStatus status) { statuses->push(status); });
        pipeline->start();
        source = sources->waitForSource(1);
    }
    ~QuicSender() {
        pipeline->stop();
        pipeline->queue().sync([] {});
    }

    // Pictures at about 30 per second until `done` holds, for at most a minute.
    bool deliverUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 1800 && source; ++i) {
            if (done()) {
                return true;
            }
            source->deliver(testing::nv12Picture(1280, 720, 120, delivered++), MonotonicClock::now());
            std::this_thread::sleep_for(33ms);
        }
        return done();
    }
    std::optional<SenderStatus> liveStatus() {
        const auto isLive = [](const SenderStatus& s) { return s.isLive() && s.controlPort.has_value(); };
        if (!deliverUntil([&] { return statuses->waitFor(isLive, 0ms).has_value(); })) {
            return std::nullopt;
        }
        return statuses->waitFor(isLive);
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

// A viewer asking for QUIC that counts the pictures it shows. Its handlers share what they fill with the
// test: the session's threads may still deliver one picture or event while it stops.
struct QuicViewer {
    struct Seen {
        testing::Eventually<ReceiverSession::Event> events;
        std::mutex mutex;
        int pictures = 0;
    };
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
    std::shared_ptr<ReceiverSession> session;

    explicit QuicViewer(uint16_t port) {
        session = ReceiverSession::create(EngineKind::quic(), NetworkEndpoint::hostPort("127.0.0.1", port),
                                          ReceiverIdentity{"QUIC-E2E-VIEWER", "QUIC-Test", "Linux"});
        session->setSmoothingEnabled(false);
        session->setEventHandler(
            [seen = seen](const ReceiverSession::Event& event) { seen->events.push(event); });
        session->frameOutput.set([seen = seen](PixelBuffer) {
            std::lock_guard lock(seen->mutex);
            ++seen->pictures;
        });
        session->start();
    }
    ~QuicViewer() {
        session->stop();
        session->queue().sync([] {});
    }

    std::optional<WelcomeMessage> welcome() {
        auto connected = seen->events.waitFor(
            [](const auto& event) { return std::holds_alternative<ReceiverSession::Connected>(event); }, 30s);
        if (!connected) {
            return std::nullopt;
        }
        return std::get<ReceiverSession::Connected>(*connected).welcome;
    }
    bool hasShown(int count) {
        std::lock_guard lock(seen->mutex);
        return seen->pictures >= count;
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
    ASSERT_TRUE(sender.deliverUntil([&] { return viewer.hasShown(60); }));

    const PlaybackStatistics statistics = viewer.session->statistics();
    EXPECT_EQ(statistics.engine, EngineKind::quic());
    EXPECT_GE(statistics.framesDecoded, 1);
    EXPECT_EQ(statistics.decodeErrors, 0);
    // The sender counts the viewer on the QUIC engine.
    EXPECT_TRUE(sender.statuses->waitFor(
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
    ASSERT_TRUE(sender.deliverUntil([&] { return viewer.hasShown(10); }));
    EXPECT_EQ(viewer.session->statistics().engine, EngineKind::tcp());
}

}  // namespace
}  // namespace kelvora
