#include "core/KelvoraService.h"
#include "core/ServiceAnnouncement.h"
#include "platform/Graphemes.h"

#include <gtest/gtest.h>

using namespace kelvora;

namespace {

ServiceAnnouncement sample() {
    ServiceAnnouncement a;
    a.senderID = "5D0C1E2A-0000-4000-8000-00000000ABCD";
    a.senderName = "Regie";
    a.protocolVersion = 4;
    a.engines = {EngineKind::tcp(), EngineKind::quic()};
    a.codec = VideoCodec::h264;
    a.dimensions = {1280, 720};
    a.frameRate = 50;
    a.state = StreamInfoMessage::State::live;
    a.sourceName = "Kamera 1";
    return a;
}

TxtRecord record(std::initializer_list<std::pair<const char*, const char*>> entries) {
    TxtRecord txt;
    for (const auto& [key, value] : entries) {
        txt.set(key, value);
    }
    return txt;
}

std::string repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

}  // namespace

TEST(KelvoraService, Constants) {
    EXPECT_EQ(KelvoraService::serviceType, "_kelvora._tcp");
    EXPECT_EQ(KelvoraService::domain, "local.");
    EXPECT_EQ(KelvoraService::protocolIdentifier, "kelvora/1");
    EXPECT_EQ(KelvoraService::defaultPort, 47810);
}

TEST(ServiceAnnouncement, WritesAllNineKeysInOrder) {
    EXPECT_EQ(sample().txtRecord().strings(),
              (std::vector<std::string>{"id=5D0C1E2A-0000-4000-8000-00000000ABCD", "name=Regie", "v=4",
                                        "eng=tcp,quic", "codec=h264", "res=1280x720", "fps=50", "state=live",
                                        "src=Kamera 1"}));
    ServiceAnnouncement empty = sample();
    empty.engines.clear();
    empty.codec = VideoCodec::hevc;
    empty.state = StreamInfoMessage::State::noSource;
    const auto txt = empty.txtRecord();
    EXPECT_EQ(txt.value("eng"), "");
    EXPECT_EQ(txt.value("codec"), "hevc");
    EXPECT_EQ(txt.value("state"), "noSource");
}

TEST(ServiceAnnouncement, ReadsBackWhatItWrites) {
    EXPECT_EQ(ServiceAnnouncement::fromTxtRecord(sample().txtRecord()), sample());
}

TEST(ServiceAnnouncement, RecordWithoutIdIsNoAnnouncement) {
    auto txt = sample().txtRecord();
    TxtRecord withoutId;
    for (const auto& entry : txt.entries()) {
        if (entry.key != "id") {
            withoutId.set(entry.key, *entry.value);
        }
    }
    EXPECT_FALSE(ServiceAnnouncement::fromTxtRecord(withoutId).has_value());
    EXPECT_FALSE(ServiceAnnouncement::fromTxtRecord(TxtRecord::fromStrings({"id"})).has_value());  // no value
}

TEST(ServiceAnnouncement, RecordWithOnlyIdTakesEveryDefault) {
    const auto a = ServiceAnnouncement::fromTxtRecord(record({{"id", "X"}}));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->senderID, "X");
    EXPECT_EQ(a->senderName, "Computer");
    EXPECT_EQ(a->protocolVersion, 0);
    EXPECT_TRUE(a->engines.empty());
    EXPECT_EQ(a->codec, VideoCodec::hevc);
    EXPECT_EQ(a->dimensions, VideoDimensions::hd1080());
    EXPECT_EQ(a->frameRate, 30);
    EXPECT_EQ(a->state, StreamInfoMessage::State::noSource);
    EXPECT_EQ(a->sourceName, "");
}

TEST(ServiceAnnouncement, ReadsValuesLeniently) {
    auto read = [](const char* key, const char* value) {
        return *ServiceAnnouncement::fromTxtRecord(record({{"id", "X"}, {key, value}}));
    };
    EXPECT_EQ(read("res", "1280x720x3").dimensions, VideoDimensions::hd1080());
    EXPECT_EQ(read("res", "x720").dimensions, VideoDimensions::hd1080());
    EXPECT_EQ(read("res", "abcx720x1280").dimensions, (VideoDimensions{720, 1280}));
    EXPECT_EQ(read("res", "1280x-720").dimensions, VideoDimensions::hd1080());  // no negative sides
    EXPECT_EQ(read("res", "99999999x720").dimensions, VideoDimensions::hd1080());
    EXPECT_EQ(read("eng", "tcp,,quic,").engines,
              (std::vector<EngineKind>{EngineKind::tcp(), EngineKind::quic()}));
    EXPECT_EQ(read("eng", "rist").engines, (std::vector<EngineKind>{EngineKind{"rist"}}));
    EXPECT_EQ(read("v", "4a").protocolVersion, 0);
    EXPECT_EQ(read("v", "+3").protocolVersion, 3);
    EXPECT_EQ(read("v", "99999999999").protocolVersion, 0);
    EXPECT_EQ(read("fps", "sixty").frameRate, 30);
    EXPECT_EQ(read("codec", "AVC").codec, VideoCodec::h264);
    EXPECT_EQ(read("codec", "H265").codec, VideoCodec::hevc);
    EXPECT_EQ(read("codec", "vp9").codec, VideoCodec::hevc);
    EXPECT_EQ(read("state", "paused").state, StreamInfoMessage::State::paused);
    EXPECT_EQ(read("state", "Live").state, StreamInfoMessage::State::noSource);
    EXPECT_EQ(read("name", "Halle \xFF").senderName, "Halle \xEF\xBF\xBD");
}

TEST(ServiceAnnouncement, LongNamesAreCutToSixtyCharacters) {
    ServiceAnnouncement a = sample();
    a.senderName = repeated("n", 61);
    a.sourceName = repeated("e\xCC\x81", 61);  // 61 accented letters of three bytes each
    const auto txt = a.txtRecord();
    EXPECT_EQ(txt.value("name"), repeated("n", 60));
    EXPECT_EQ(txt.value("src"), repeated("e\xCC\x81", 60));
    const auto back = ServiceAnnouncement::fromTxtRecord(txt);
    EXPECT_EQ(back->senderName, repeated("n", 60));
    EXPECT_NE(*back, a);  // a cut name does not compare equal to the one written

    a.senderName = repeated("n", 60);
    a.sourceName = "";
    EXPECT_EQ(ServiceAnnouncement::fromTxtRecord(a.txtRecord()), a);
}

TEST(ServiceAnnouncement, SixtyWideCharactersStillFitOneTxtString) {
    // 60 family emoji take 660 bytes; one TXT string holds 255.
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    ServiceAnnouncement a = sample();
    a.senderName = repeated(family, 60);
    a.sourceName = repeated(family, 60);
    a.senderID = repeated("i", 300);
    TxtRecord txt;
    ASSERT_NO_THROW(txt = a.txtRecord());
    for (const auto& text : txt.strings()) {
        EXPECT_LE(text.size(), 255u) << text.substr(0, 10);
    }
    EXPECT_EQ(txt.value("name"), repeated(family, (255 - 5) / family.size()));  // whole characters only
    EXPECT_EQ(txt.value("src"), repeated(family, (255 - 4) / family.size()));
    EXPECT_EQ(txt.value("id")->size(), 252u);
    EXPECT_EQ(graphemeCount(*txt.value("name")), 22u);
}

TEST(ServiceAnnouncement, EngineListTooLongForOneStringKeepsWholeNames) {
    ServiceAnnouncement a = sample();
    a.engines.assign(40, EngineKind{"webrtc"});  // 40 * 7 - 1 = 279 bytes
    const auto eng = *a.txtRecord().value("eng");
    EXPECT_LE(eng.size(), 251u);
    const auto back = ServiceAnnouncement::fromTxtRecord(a.txtRecord());
    for (const auto& engine : back->engines) {
        EXPECT_EQ(engine.rawValue, "webrtc");
    }
    EXPECT_EQ(back->engines.size(), 36u);  // 36 * 7 - 1 = 251 bytes: exactly full
}
