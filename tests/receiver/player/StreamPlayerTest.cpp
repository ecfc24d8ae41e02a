#include <gtest/gtest.h>

#include <unistd.h>
#include <system_error>

#include <QSignalSpy>
#include <filesystem>

#include "receiver/player/PlayerFakes.h"
#include "receiver/player/StreamPlayer.h"
#include "receiver/session/ReceiverError.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;
using testing::FakeBrowser;
using testing::FakeScheduler;
using testing::FakeSession;
using Kind = PlayerState::Kind;

DiscoveredSender found(const std::string& id, const std::string& name,
                       std::vector<EngineKind> engines = {EngineKind::quic(), EngineKind::tcp()}) {
    DiscoveredSender sender;
    sender.id = id;
    sender.name = name;
    sender.endpoint = NetworkEndpoint::service(name, "_kelvora._tcp", "local", "10.0.0.9", 47810);
    sender.announcement.senderID = id;
    sender.announcement.senderName = name;
    sender.announcement.engines = std::move(engines);
    return sender;
}

WelcomeMessage welcome(const std::string& name, std::optional<std::string> id) {
    WelcomeMessage message;
    message.senderName = name;
    message.senderID = std::move(id);
    return message;
}

StreamInfoMessage streamInfo(StreamInfoMessage::State state) {
    StreamInfoMessage info;
    info.state = state;
    return info;
}

struct Harness {
    std::filesystem::path root =
        std::filesystem::temp_directory_path() /
        ("player-" + std::to_string(getpid()) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    UserDefaults defaults{"app.kelvora.viewer", root};
    std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
    std::shared_ptr<FakeScheduler> scheduler = std::make_shared<FakeScheduler>();
    std::vector<std::shared_ptr<FakeSession>> sessions;
    std::unique_ptr<StreamPlayer> player;

    explicit Harness(bool autoConnect = false, bool onlySender = false) { make(autoConnect, onlySender); }
    ~Harness() {
        player.reset();
        std::filesystem::remove_all(root);
    }

    void make(bool autoConnect, bool onlySender) {
        PlayerServices services;
        services.sessions = [this](EngineKind engine, NetworkEndpoint endpoint, ReceiverIdentity,
                                   std::shared_ptr<VideoRenderer>) {
            auto session = std::make_shared<FakeSession>();
            session->engine = std::move(engine);
            session->endpoint = std::move(endpoint);
            sessions.push_back(session);
            return std::shared_ptr<PlayerSession>(session);
        };
        services.browser = browser;
        services.scheduler = scheduler;
        services.defaults = &defaults;
        services.availableKinds = [] { return std::vector{EngineKind::tcp(), EngineKind::quic()}; };
        services.deviceModel = "Computer (test)";
        PlayerConfiguration configuration{"viewer",    autoConnect, onlySender, EngineKind::quic(),
                                          "Testgerät", false,       true};
        player.reset();
        player = std::make_unique<StreamPlayer>(configuration, std::move(services));
    }

    void list(std::vector<DiscoveredSender> senders) {
        browser->onChange(std::move(senders));
        scheduler->drain();
    }
    void event(ReceiverSession::Event event) {
        sessions.back()->emitEvent(std::move(event));
        scheduler->drain();
    }
    void endSession() { event(ReceiverSession::Ended{}); }
    size_t running() const {
        return static_cast<size_t>(std::count_if(sessions.begin(), sessions.end(), [](const auto& s) {
            return s->started && !s->stopped && !s->ended;
        }));
    }
};

TEST(StreamPlayer, StateFollowsTheSessionsEvents) {
    using Event = ReceiverSession::Event;
    const auto live = streamInfo(StreamInfoMessage::State::live);
    const auto paused = streamInfo(StreamInfoMessage::State::paused);
    const struct {
        const char* name;
        std::vector<Event> events;
        PlayerState expected;
    } cases[] = {
        {"selection", {}, PlayerState::connecting("Studio")},
        {"welcome",
         {ReceiverSession::Connected{welcome("Studio", "A")}},
         PlayerState::waitingForVideo("Studio")},
        {"first frame",
         {ReceiverSession::Connected{}, ReceiverSession::FirstFrame{}},
         PlayerState::playing("Studio")},
        {"pause",
         {ReceiverSession::FirstFrame{}, ReceiverSession::StreamInfoChanged{paused}},
         PlayerState::waitingForVideo("Studio")},
        {"resume after a shown frame",
         {ReceiverSession::FirstFrame{}, ReceiverSession::StreamInfoChanged{paused},
          ReceiverSession::StreamInfoChanged{live}},
         PlayerState::playing("Studio")},
        {"live before any frame",
         {ReceiverSession::Connected{}, ReceiverSession::StreamInfoChanged{live}},
         PlayerState::waitingForVideo("Studio")},
        {"pause while waiting",
         {ReceiverSession::Connected{}, ReceiverSession::StreamInfoChanged{paused}},
         PlayerState::waitingForVideo("Studio")},
        {"end without error",
         {ReceiverSession::FirstFrame{}, ReceiverSession::Ended{}},
         PlayerState::reconnecting("Studio", "Verbindung beendet")},
        {"end by the sender",
         {ReceiverSession::Ended{std::make_exception_ptr(ReceiverError::closedBySender())}},
         PlayerState::reconnecting("Studio", ReceiverError::closedBySender().text())},
        {"refused",
         {ReceiverSession::Ended{std::make_exception_ptr(
             std::system_error(std::make_error_code(std::errc::connection_refused)))}},
         PlayerState::reconnecting("Studio", "Unter dieser Adresse nimmt kein Sender Verbindungen an.")},
    };
    for (const auto& c : cases) {
        Harness h;
        h.player->start();
        h.player->select(found("A", "Studio"));
        for (const auto& event : c.events) {
            h.event(event);
        }
        EXPECT_EQ(h.player->state(), c.expected) << c.name;
    }
}

TEST(StreamPlayer, StartStopDisconnectAndPermission) {
    Harness h;
    h.player->start();
    h.player->start();
    EXPECT_EQ(h.browser->starts, 1);
    EXPECT_EQ(h.player->state(), PlayerState::searching());
    h.browser->onDenied();
    h.scheduler->drain();
    EXPECT_EQ(h.player->state(), PlayerState::localNetworkDenied());

    h.player->select(found("A", "Studio"));
    h.player->disconnect(true);
    EXPECT_EQ(h.player->state(), PlayerState::searching());
    EXPECT_FALSE(h.player->selectedSender());
    EXPECT_FALSE(h.defaults.value("viewer.lastSender"));
    EXPECT_EQ(h.running(), 0u);

    h.player->select(found("A", "Studio"));
    h.player->stop();
    EXPECT_EQ(h.player->state(), PlayerState::idle());
    EXPECT_EQ(h.running(), 0u);
    EXPECT_EQ(h.browser->stops, 1);
}

TEST(StreamPlayer, ReconnectsAfterGrowingDelaysUntilAWelcome) {
    Harness h;
    h.player->start();
    h.list({found("A", "Studio")});
    h.player->select(found("A", "Studio"));
    for (auto delay : {250ms, 500ms, 1000ms, 2000ms, 3000ms, 3000ms}) {
        const size_t before = h.sessions.size();
        h.endSession();
        // A discovery result while the reconnection waits does not cut the back-off short.
        h.list({found("A", "Studio")});
        h.scheduler->advance(delay - 1ns);
        EXPECT_EQ(h.sessions.size(), before) << delay.count();
        h.scheduler->advance(1ns);
        ASSERT_EQ(h.sessions.size(), before + 1) << delay.count();
        EXPECT_EQ(h.player->state(), PlayerState::connecting("Studio"));
    }
    h.event(ReceiverSession::Connected{welcome("Studio", "A")});
    h.endSession();
    h.scheduler->advance(250ms);
    EXPECT_EQ(h.running(), 1u);

    // A sender that left the list is waited for, without a timer, until it is listed again.
    h.list({});
    h.endSession();
    h.scheduler->advance(10s);
    EXPECT_EQ(h.player->state().kind, Kind::reconnecting);
    EXPECT_EQ(h.running(), 0u);
    h.list({found("A", "Studio")});
    EXPECT_EQ(h.running(), 1u);
}

TEST(StreamPlayer, ADirectSenderThatTookTheWelcomesIdentityIsReconnected) {
    for (bool alsoFound : {false, true}) {
        Harness h;
        h.player->start();
        h.list(alsoFound ? std::vector{found("S1", "Studio")} : std::vector<DiscoveredSender>{});
        h.player->connectToManualHost(" 10.0.0.5 ", 47810);
        EXPECT_EQ(h.player->selectedSender()->id, "direct:10.0.0.5:47810");
        h.sessions.back()->peer = HostPortEndpoint{"10.0.0.5", 47810};
        h.event(ReceiverSession::Connected{welcome("Studio", "S1")});

        EXPECT_EQ(h.player->state(), PlayerState::waitingForVideo("Studio"));
        EXPECT_EQ(h.player->selectedSender()->id, "S1");
        EXPECT_EQ(h.player->selectedSender()->isDirect, !alsoFound);
        EXPECT_EQ(h.player->senders().size(), 1u);
        EXPECT_EQ(h.defaults.string("viewer.lastSender"), "S1");
        EXPECT_EQ(h.defaults.string("viewer.lastAddress"), "10.0.0.5|47810|S1|Studio");

        h.endSession();
        EXPECT_EQ(h.player->state().kind, Kind::reconnecting) << alsoFound;
        h.scheduler->advance(250ms);
        EXPECT_EQ(h.running(), 1u) << alsoFound;
        EXPECT_EQ(h.sessions.back()->endpoint, h.player->selectedSender()->endpoint);
    }
}

TEST(StreamPlayer, AutoConnectionRules) {
    const struct {
        const char* name;
        bool autoConnect;
        bool onlySender;
        std::optional<std::string> last;
        std::vector<std::string> listed;
        std::optional<std::string> connects;
    } cases[] = {
        {"remembered sender listed", true, false, "B", {"A", "B"}, "B"},
        {"remembered sender missing", true, true, "C", {"A"}, std::nullopt},
        {"only sender", true, true, std::nullopt, {"A"}, "A"},
        {"two senders", true, true, std::nullopt, {"A", "B"}, std::nullopt},
        {"only sender without the flag", true, false, std::nullopt, {"A"}, std::nullopt},
        {"no auto-connection", false, true, "A", {"A"}, std::nullopt},
    };
    for (const auto& c : cases) {
        Harness h(c.autoConnect, c.onlySender);
        if (c.last) {
            h.defaults.set("viewer.lastSender", *c.last);
        }
        h.player->start();
        std::vector<DiscoveredSender> list;
        for (const auto& id : c.listed) {
            list.push_back(found(id, "Name " + id));
        }
        h.list(list);
        EXPECT_EQ(h.player->selectedSender() ? std::optional(h.player->selectedSender()->id) : std::nullopt,
                  c.connects)
            << c.name;
        EXPECT_EQ(h.running(), c.connects ? 1u : 0u) << c.name;
    }
}

TEST(StreamPlayer, NoAutoConnectionAfterAnExplicitDisconnectUntilSelectionOrRestart) {
    Harness h(true, true);
    h.player->start();
    h.list({found("A", "Studio")});
    EXPECT_EQ(h.running(), 1u);
    h.player->disconnect(true);
    h.list({found("A", "Studio")});
    EXPECT_EQ(h.running(), 0u);

    h.player->stop();
    h.player->start();
    h.list({found("A", "Studio")});
    EXPECT_EQ(h.running(), 1u);
}

TEST(StreamPlayer, StopDuringAPendingReconnectionLeavesAutoConnectionWorking) {
    Harness h;
    h.player->start();
    h.list({found("A", "Studio")});
    h.player->select(found("A", "Studio"));
    h.endSession();
    h.player->stop();
    h.scheduler->advance(5s);
    EXPECT_EQ(h.running(), 0u);
    h.player->start();
    h.list({found("A", "Studio")});
    EXPECT_EQ(h.running(), 1u);
}

TEST(StreamPlayer, RememberedAddressConnectsAtStartOnlyWhenItIsTheLastSender) {
    for (const char* last : {"S1", "S2"}) {
        Harness h(true, false);
        h.defaults.set("viewer.lastAddress", "10.0.0.5|5000|S1|Studio");
        h.defaults.set("viewer.lastSender", last);
        h.player->start();
        const bool expected = std::string(last) == "S1";
        ASSERT_EQ(h.sessions.size(), expected ? 1u : 0u) << last;
        if (expected) {
            EXPECT_EQ(h.sessions[0]->endpoint, NetworkEndpoint::hostPort("10.0.0.5", 5000));
            EXPECT_EQ(h.player->state(), PlayerState::connecting("Studio"));
            EXPECT_EQ(h.player->senders().size(), 1u);
        }
    }
}

TEST(StreamPlayer, EngineFollowsWhatTheSenderOffers) {
    Harness h;
    h.player->start();
    h.list({found("A", "Studio", {EngineKind::tcp()})});
    h.player->select(h.player->senders()[0]);
    EXPECT_EQ(h.player->engine(), EngineKind::tcp());
    EXPECT_EQ(h.defaults.string("viewer.engine"), "tcp");
    EXPECT_EQ(h.running(), 1u);

    // A sender that learns QUIC: the preference may move, a reconnection then takes what is offered.
    h.list({found("A", "Studio")});
    h.player->setEngine(EngineKind::quic());
    EXPECT_EQ(h.sessions.back()->engine, EngineKind::quic());
    h.list({found("A", "Studio", {EngineKind::tcp()})});
    h.endSession();
    h.scheduler->advance(250ms);
    EXPECT_EQ(h.sessions.back()->engine, EngineKind::tcp());
    EXPECT_EQ(h.player->engine(), EngineKind::quic());

    const size_t before = h.sessions.size();
    h.player->setEngine(EngineKind::quic());
    EXPECT_EQ(h.sessions.size(), before);
}

TEST(StreamPlayer, AQualityChosenWhilePlayingReachesTheRunningSession) {
    Harness h;
    h.player->start();
    h.player->select(found("A", "Studio"));
    h.event(ReceiverSession::FirstFrame{});
    ASSERT_TRUE(h.player->state().isPlaying());
    EXPECT_EQ(h.sessions.back()->quality, StreamQuality::automatic);
    h.player->setPreferredQuality(StreamQuality::full);
    EXPECT_EQ(h.sessions.back()->quality, StreamQuality::full);
    EXPECT_EQ(h.sessions.size(), 1u);  // without a new connection
}

TEST(StreamPlayer, SlowDiscoveryAndDiscoveryTime) {
    Harness h;
    h.player->start();
    h.scheduler->advance(1s);
    h.list({});
    h.scheduler->advance(2s - 1ns);
    EXPECT_FALSE(h.player->isDiscoverySlow());
    h.scheduler->advance(1ns);
    EXPECT_TRUE(h.player->isDiscoverySlow());
    h.player->stop();
    h.player->start();
    EXPECT_TRUE(h.player->isDiscoverySlow());
    h.scheduler->advance(1500ms);
    h.list({found("A", "Studio")});
    EXPECT_FALSE(h.player->isDiscoverySlow());
    EXPECT_EQ(h.player->discoveryDurationMs(), 1500.0);
    h.scheduler->advance(1s);
    h.list({found("A", "Studio"), found("B", "Zwei")});
    EXPECT_EQ(h.player->discoveryDurationMs(), 1500.0);
}

TEST(StreamPlayer, StatisticsMirrorTheSessionAndNotifyOnlyOnChange) {
    Harness h;
    h.player->start();
    h.player->connectToManualHost("10.0.0.5", 0);
    EXPECT_EQ(h.sessions.back()->endpoint, NetworkEndpoint::hostPort("10.0.0.5", 47810));
    QSignalSpy spy(h.player.get(), &StreamPlayer::statisticsChanged);
    h.sessions.back()->stats.framesReceived = 5;
    h.scheduler->advance(300ms);
    h.event(ReceiverSession::FirstFrame{});
    h.scheduler->advance(1s);
    EXPECT_EQ(h.player->statistics().framesReceived, 5);
    EXPECT_TRUE(h.player->statistics().isDirectConnection);
    EXPECT_EQ(h.player->statistics().firstFrameMs, 300.0);
    EXPECT_EQ(spy.count(), 2);
    h.player->stop();
    EXPECT_EQ(h.player->statistics(), PlaybackStatistics());
}

}  // namespace
}  // namespace kelvora
