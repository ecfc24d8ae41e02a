#include "core/Log.h"
#include "platform/DnsSdRegistration.h"
#include "receiver/session/DiscoveredSender.h"
#include "receiver/session/SenderBrowser.h"
#include "receiver/session/SenderRecords.h"

#include "support/Eventually.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <unistd.h>

#include <algorithm>
#include <thread>
#include <unordered_set>

using namespace kelvora;
using kelvora::testing::Eventually;

namespace {

ServiceAnnouncement announcement(const std::string& id, const std::string& name) {
    ServiceAnnouncement a;
    a.senderID = id;
    a.senderName = name;
    a.protocolVersion = 4;
    a.engines = {EngineKind::tcp(), EngineKind::quic()};
    a.codec = VideoCodec::hevc;
    a.dimensions = VideoDimensions::hd1080();
    a.frameRate = 30;
    a.state = StreamInfoMessage::State::live;
    a.sourceName = "Kamera";
    return a;
}

DnsSdService service(const std::string& name, TxtRecord txt, int interfaceIndex = 1) {
    DnsSdService s;
    s.name = name;
    s.type = "_kelvora._tcp";
    s.domain = "local";
    s.hostName = "studio.local";
    s.address = "192.168.1.20";
    s.port = 47810;
    s.interfaceIndex = interfaceIndex;
    s.txt = std::move(txt);
    return s;
}

std::vector<std::string> names(const std::vector<DiscoveredSender>& rows) {
    std::vector<std::string> result;
    for (const auto& row : rows) {
        result.push_back(row.name);
    }
    return result;
}

const DiscoveredSender* rowWithID(const std::vector<DiscoveredSender>& rows, const std::string& id) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.id == id; });
    return it == rows.end() ? nullptr : &*it;
}

}  // namespace

TEST(DiscoveredSender, TypedAddressGetsADirectRow) {
    const auto sender = DiscoveredSender::direct("192.168.1.20", 47810);
    EXPECT_EQ(sender.id, "direct:192.168.1.20:47810");
    EXPECT_EQ(sender.name, "192.168.1.20");
    EXPECT_EQ(sender.endpoint, NetworkEndpoint::hostPort("192.168.1.20", 47810));
    EXPECT_TRUE(sender.isDirect);
    EXPECT_EQ(sender.subtitle(), "direkt per IP-Adresse");
    EXPECT_EQ(sender.announcement.protocolVersion, 4);
    EXPECT_EQ(sender.announcement.engines, (std::vector<EngineKind>{EngineKind::quic(), EngineKind::tcp()}));
    EXPECT_EQ(sender.announcement.codec, VideoCodec::hevc);
    EXPECT_EQ(sender.announcement.frameRate, 60);
    EXPECT_EQ(sender.announcement.state, StreamInfoMessage::State::live);

    const auto named = DiscoveredSender::direct("studio", 0, "S-1", "Regie");
    EXPECT_EQ(named.id, "S-1");
    EXPECT_EQ(named.name, "Regie");
    EXPECT_EQ(named.endpoint, NetworkEndpoint::hostPort("studio", 47810));  // no usable port: the default
    EXPECT_EQ(DiscoveredSender::direct("h", 70000).endpoint, NetworkEndpoint::hostPort("h", 47810));
}

TEST(DiscoveredSender, EqualityIgnoresDirectnessAndHashingUsesTheId) {
    auto a = DiscoveredSender::direct("10.0.0.1", 47810);
    auto b = a;
    b.isDirect = false;
    EXPECT_EQ(a, b);
    b.name = "other";
    EXPECT_NE(a, b);
    EXPECT_EQ(std::hash<DiscoveredSender>{}(a), std::hash<DiscoveredSender>{}(b));
    std::unordered_set<DiscoveredSender> set{a};
    EXPECT_TRUE(set.count(DiscoveredSender::direct("10.0.0.1", 47810)));
}

TEST(DiscoveredSender, SubtitleShowsSizeRateCodecAndState) {
    DiscoveredSender sender;
    sender.announcement = announcement("X", "Regie");
    EXPECT_EQ(sender.subtitle(), "1080p30 · HEVC · Live");
    sender.announcement.dimensions = {960, 540};
    sender.announcement.frameRate = 25;
    sender.announcement.codec = VideoCodec::h264;
    sender.announcement.state = StreamInfoMessage::State::noSource;
    EXPECT_EQ(sender.subtitle(), "540p25 · H.264 · kein Eingang");
    sender.announcement.dimensions = {640, 480};
    sender.announcement.state = StreamInfoMessage::State::starting;
    EXPECT_EQ(sender.subtitle(), "480p25 · H.264 · startet");
    sender.announcement.state = StreamInfoMessage::State::paused;
    EXPECT_EQ(sender.subtitle(), "480p25 · H.264 · pausiert");
}

TEST(SenderBrowser, RowsSkipRecordsWithoutIdAndKeepOnePerSender) {
    TxtRecord noID;
    noID.set("name", "Anonym");
    TxtRecord onlyID;
    onlyID.set("id", "B");
    const auto rows = SenderBrowser::rows({
        service("Regie", announcement("A", "Regie").txtRecord(), 1),
        service("Regie", announcement("A", "Regie").txtRecord(), 2),  // the same sender on another interface
        service("Regie 2", announcement("A", "Regie").txtRecord(), 1),  // or under another name
        service("Anonym", noID),
        service("Minimal", onlyID),
    });
    ASSERT_EQ(rows.size(), 2u);
    const auto* minimal = rowWithID(rows, "B");
    ASSERT_TRUE(minimal);
    EXPECT_EQ(minimal->name, "Minimal");
    EXPECT_EQ(minimal->announcement, *ServiceAnnouncement::fromTxtRecord(onlyID));
    EXPECT_FALSE(minimal->isDirect);
    const auto* regie = rowWithID(rows, "A");
    ASSERT_TRUE(regie);
    EXPECT_EQ(regie->endpoint,
              NetworkEndpoint::service(regie->name, "_kelvora._tcp", "local", "192.168.1.20", 47810));
}

TEST(SenderBrowser, RowsCleanWhatAnyHostOnTheNetworkAnnounces) {
    std::string longID;
    for (int i = 0; i < 100; ++i) {
        longID += "€";  // 300 bytes: more than the record's entry holds
    }
    auto hostile = announcement(longID, "Regie\n\u202Eevil");
    hostile.sourceName = "\x1b[2J";
    const auto rows = SenderBrowser::rows({service("Name\r\n[error]\tx", hostile.txtRecord())});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Name [error] x");
    EXPECT_EQ(rows[0].id, longID.substr(0, 84 * 3));
    // Its welcome names it as it was found.
    WelcomeMessage welcome;
    welcome.senderID = longID;
    EXPECT_EQ(cleanedWelcome(welcome).senderID, rows[0].id);
    EXPECT_EQ(rows[0].announcement.senderName, "Regie \uFFFDevil");
    EXPECT_EQ(rows[0].announcement.sourceName, "\uFFFD[2J");
}

TEST(SenderBrowser, RowsAreSortedLikeAFileBrowser) {
    const auto rows = SenderBrowser::rows({
        service("Sender 10", announcement("1", "x").txtRecord()),
        service("Sender 2", announcement("2", "x").txtRecord()),
        service("sender 3", announcement("3", "x").txtRecord()),
        service("Ähre", announcement("4", "x").txtRecord()),
        service("Zelt", announcement("5", "x").txtRecord()),
    });
    EXPECT_EQ(names(rows), (std::vector<std::string>{"Ähre", "Sender 2", "sender 3", "Sender 10", "Zelt"}));
    EXPECT_TRUE(SenderBrowser::nameOrder("a", "B"));
    EXPECT_FALSE(SenderBrowser::nameOrder("B", "a"));
    EXPECT_TRUE(SenderBrowser::nameOrder("File 9", "file 10"));
}

TEST(SenderBrowser, FindsAnnouncedSendersAndFollowsTheirUpdates) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    const std::string type = "_ktsb" + std::to_string(getpid() % 100000) + "._tcp";
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");

    // An extra output's id, the sender's and the output's UUID: announced and listed whole.
    const std::string idA = "0F8FAD5B-D9CB-469F-A165-70867728950E-6B29FC40-CA47-4E9B-9F0C-1A2B3C4D5E6F";
    auto first = announcement(idA, "Halle");
    DnsSdRegistration one(queue, "Halle", type, 47815, first.txtRecord());
    one.start();
    // A second service of the same sender (an old name still announced) must not give a second row.
    DnsSdRegistration again(queue, "Halle alt", type, 47816, first.txtRecord());
    again.start();
    auto other = announcement("SENDER-B", "Bühne 2");
    DnsSdRegistration two(queue, "Bühne 2", type, 47817, other.txtRecord());
    two.start();

    auto browser = SenderBrowser::create(type);
    Eventually<std::vector<DiscoveredSender>> lists;
    browser->setOnChange([&](const std::vector<DiscoveredSender>& rows) {
        EXPECT_TRUE(browser->queue().isCurrent());
        lists.push(rows);
    });
    browser->start();

    auto both = lists.waitFor([&](const auto& rows) {
        return rows.size() == 2 && rowWithID(rows, idA) && rowWithID(rows, "SENDER-B");
    });
    ASSERT_TRUE(both) << "the browser did not list both senders";
    EXPECT_EQ(names(*both).front(), "Bühne 2");  // sorted by name
    const auto* halle = rowWithID(*both, idA);
    EXPECT_EQ(halle->announcement, first);
    const auto* target = halle->endpoint.asService();
    ASSERT_TRUE(target);
    EXPECT_FALSE(target->address.empty());
    EXPECT_TRUE(target->port == 47815 || target->port == 47816);
    EXPECT_EQ(halle->subtitle(), "1080p30 · HEVC · Live");

    auto paused = first;
    paused.state = StreamInfoMessage::State::paused;
    one.updateTxt(paused.txtRecord());
    again.updateTxt(paused.txtRecord());
    auto updated = lists.waitFor([&](const auto& rows) {
        const auto* row = rowWithID(rows, idA);
        return row && row->announcement.state == StreamInfoMessage::State::paused;
    });
    ASSERT_TRUE(updated) << "the changed announcement did not reach the list";
    EXPECT_EQ(updated->size(), 2u);

    browser->stop();
    browser->queue().sync([] {});
}

namespace {

// Counts the browser's failure reports in the viewer's network log.
class FailureLines {
  public:
    FailureLines() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64)) {
        ViewerLog::network().sinks().push_back(sink_);
    }
    ~FailureLines() {
        auto& sinks = ViewerLog::network().sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    size_t count() const {
        size_t n = 0;
        for (const auto& line : sink_->last_formatted()) {
            n += line.find("Bonjour-Suche fehlgeschlagen") != std::string::npos;
        }
        return n;
    }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Runs in a process of its own: the D-Bus library reads the bus address once per process.
int browserRestartsAfterFailureUnlessStopped() {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelvora-test-bus", 1);
    FailureLines failures;
    auto browser = SenderBrowser::create("_ktrestart._tcp");
    browser->start();
    // No bus: the first browse fails at once, and again after each pause.
    if (!waitUntil([&] { return failures.count() >= 2; }, std::chrono::seconds(10))) {
        return 1;
    }
    browser->stop();
    browser->queue().sync([] {});
    const size_t stoppedAt = failures.count();
    // Well past the pause: a stopped browser does not start again.
    std::this_thread::sleep_for(SenderBrowser::restartDelay + std::chrono::milliseconds(1000));
    return failures.count() == stoppedAt ? 0 : 2;
}

}  // namespace

TEST(SenderBrowser, RestartsAfterAFailureAndStopCancelsThePendingRestart) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(browserRestartsAfterFailureUnlessStopped()), ::testing::ExitedWithCode(0), "");
}
