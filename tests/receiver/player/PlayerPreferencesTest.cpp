#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "receiver/player/PlayerPreferences.h"
#include "receiver/player/SenderAddressEntry.h"

namespace kelvora {
namespace {

struct DefaultsFolder {
    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("player-prefs-" + std::to_string(getpid()) + "-" +
                                                  std::to_string(reinterpret_cast<uintptr_t>(this)));
    UserDefaults defaults{"app.kelvora.viewer", root};
    ~DefaultsFolder() { std::filesystem::remove_all(root); }
};

TEST(PlayerPreferences, StoredValuesOfTheWrongShapeReadAsTheirDefaults) {
    DefaultsFolder folder;
    auto& d = folder.defaults;
    d.set("v.smoothPlayback", "false");
    d.set("v.quality", "Full");
    d.set("v.overlay", 1);
    d.set("v.engine", "webrtc");
    PlayerPreferences prefs(d, "v");
    EXPECT_TRUE(prefs.smoothPlayback());
    EXPECT_EQ(prefs.quality(), StreamQuality::automatic);
    EXPECT_FALSE(prefs.showsDebugOverlay());
    // Any stored engine text is taken as it is.
    EXPECT_EQ(prefs.engine(EngineKind::tcp()), EngineKind::webrtc());

    prefs.setSmoothPlayback(false);
    prefs.setQuality(StreamQuality::proxy);
    EXPECT_EQ(d.value("v.smoothPlayback"), UserDefaults::Json(false));
    EXPECT_EQ(d.string("v.quality"), "proxy");
    EXPECT_FALSE(prefs.smoothPlayback());
    EXPECT_EQ(prefs.quality(), StreamQuality::proxy);
}

TEST(PlayerPreferences, RememberedAddressNeedsFourPartsAndASixteenBitPort) {
    const struct {
        const char* stored;
        std::optional<RememberedAddress> read;
    } cases[] = {
        {"10.0.0.5|47810|id-1|Studio", RememberedAddress{"10.0.0.5", 47810, "id-1", "Studio"}},
        {"h|+80|i|n", RememberedAddress{"h", 80, "i", "n"}},
        {"h|-0|i|", RememberedAddress{"h", 0, "i", ""}},
        {"h|65535|i|n", RememberedAddress{"h", 65535, "i", "n"}},
        {"h|65536|i|n", std::nullopt},
        {"h|70000|i|n", std::nullopt},
        {"h|-1|i|n", std::nullopt},
        {"h||i|n", std::nullopt},
        {"h|8a|i|n", std::nullopt},
        {"h|80|i", std::nullopt},
        {"h|80|i|n|x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeRememberedAddress(c.stored), c.read) << c.stored;
    }
    // A bar in the name is written as a blank; one in the host makes the text unreadable rather than misread.
    EXPECT_EQ(encodeRememberedAddress({"h", 1, "i", "A|B"}), "h|1|i|A B");
    EXPECT_EQ(decodeRememberedAddress(encodeRememberedAddress({"h|x", 1, "i", "n"})), std::nullopt);
}

TEST(PlayerPreferences, PlayersWithTheirOwnKeysShareOneClientID) {
    DefaultsFolder folder;
    PlayerPreferences a(folder.defaults, "a");
    PlayerPreferences b(folder.defaults, "b");
    a.setEngine(EngineKind::quic());
    EXPECT_EQ(b.engine(EngineKind::tcp()), EngineKind::tcp());

    const std::string id = a.clientID();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id, b.clientID());
    EXPECT_EQ(folder.defaults.string("Kelvora.clientID"), id);

    // Whatever else sits there would go to every sender in the hello.
    folder.defaults.set("Kelvora.clientID", std::string(5000, 'x'));
    EXPECT_NE(a.clientID(), std::string(5000, 'x'));
    EXPECT_EQ(a.clientID().size(), 36u);
}

TEST(SenderAddressEntry, TypedAddressesGiveHostAndPort) {
    const struct {
        const char* typed;
        std::optional<HostPortEndpoint> parsed;
    } cases[] = {
        {"192.168.1.20", HostPortEndpoint{"192.168.1.20", 47810}},
        {" \t10.0.0.7:5000 ", HostPortEndpoint{"10.0.0.7", 5000}},
        {"10.0.0.7:0", HostPortEndpoint{"10.0.0.7", 47810}},
        {"10.0.0.7:", HostPortEndpoint{"10.0.0.7:", 47810}},
        {"10.0.0.7:99999", HostPortEndpoint{"10.0.0.7:99999", 47810}},
        {"10.0.0.7:abc", HostPortEndpoint{"10.0.0.7:abc", 47810}},
        {"fe80::1", HostPortEndpoint{"fe80::1", 47810}},
        {"fe80::1:5000", HostPortEndpoint{"fe80::1:5000", 47810}},
        {"2001:db8:0:1:1:1:1:1", HostPortEndpoint{"2001:db8:0:1:1:1:1:1", 47810}},
        {"[fe80::1]:5000", HostPortEndpoint{"fe80::1", 5000}},
        {"[fe80::1]", HostPortEndpoint{"fe80::1", 47810}},
        {"[fe80::1]:0", HostPortEndpoint{"fe80::1", 47810}},
        {"[fe80::1]:x", HostPortEndpoint{"[fe80::1]:x", 47810}},
        {"[]", std::nullopt},
        {"[]:5000", std::nullopt},
        {"[ ]", std::nullopt},
        {"[\t]", std::nullopt},
        {" \t ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseSenderAddress(c.typed), c.parsed) << c.typed;
    }
}

}  // namespace
}  // namespace kelvora
