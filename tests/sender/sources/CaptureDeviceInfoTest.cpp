#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/CaptureDeviceMonitor.h"
#include "sender/sources/NameOrder.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>

namespace kelvora {
namespace {

using Connection = CaptureDeviceInfo::Connection;

TEST(CaptureDeviceClassification, FirstMatchingRuleWins) {
    struct Case {
        CaptureTransport transport;
        const char* manufacturer;
        const char* name;
        const char* modelID;
        Connection expected;
    };
    const Case cases[] = {
        // The transport decides first, whatever the names say.
        {CaptureTransport::usb, "Elgato", "Cam Link 4K", "Cam Link 4K", Connection::usb},
        {CaptureTransport::usb, "Blackmagic Design", "UltraStudio Recorder 3G", "", Connection::usb},
        {CaptureTransport::builtIn, "Chicony", "Integrated Camera", "", Connection::builtIn},
        {CaptureTransport::builtIn, "Blackmagic Design", "DeckLink Mini", "", Connection::builtIn},
        // Then the professional cards, by maker or by name, ignoring case.
        {CaptureTransport::other, "Blackmagic Design Pty", "Capture", "", Connection::deckLink},
        {CaptureTransport::other, "", "UltraStudio 4K Mini", "", Connection::deckLink},
        {CaptureTransport::other, "", "DECKLINK DUO 2 (1)", "", Connection::deckLink},
        {CaptureTransport::other, "", "my blackmagic input", "", Connection::deckLink},
        // Then a phone by its model id, case-sensitive.
        {CaptureTransport::other, "Apple", "Kamera", "iPhone15,2", Connection::iPhone},
        {CaptureTransport::other, "Apple", "Kamera", "iphone15,2", Connection::other},
        {CaptureTransport::other, "Magewell", "USB Capture HDMI", "", Connection::other},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CaptureDeviceInfo::classify(c.transport, c.manufacturer, c.name, c.modelID), c.expected)
            << c.name << " / " << c.modelID;
    }
}

TEST(CaptureDeviceClassification, RawValuesAreExactAndCaseSensitive) {
    for (Connection connection : {Connection::usb, Connection::deckLink, Connection::builtIn,
                                  Connection::iPhone, Connection::other}) {
        EXPECT_EQ(CaptureDeviceInfo::connectionFromRawValue(CaptureDeviceInfo::rawValue(connection)),
                  connection);
    }
    EXPECT_EQ(CaptureDeviceInfo::rawValue(Connection::deckLink), "deckLink");
    EXPECT_FALSE(CaptureDeviceInfo::connectionFromRawValue("USB"));
    EXPECT_FALSE(CaptureDeviceInfo::connectionFromRawValue("decklink"));
    EXPECT_FALSE(CaptureDeviceInfo::connectionFromRawValue(""));
}

TEST(CaptureDeviceClassification, SymbolsAndLabelsFollowTheConnection) {
    struct Case {
        Connection connection;
        bool external;
        const char* symbol;
        const char* displayName;
    };
    const Case cases[] = {
        {Connection::usb, true, "cable.connector.horizontal", "Cam \u00B7 USB (UVC)"},
        {Connection::usb, false, "web.camera", "Cam \u00B7 USB (UVC)"},
        {Connection::deckLink, true, "rectangle.connected.to.line.below", "Cam \u00B7 DeckLink/UltraStudio"},
        {Connection::builtIn, false, "web.camera", "Cam"},
        {Connection::iPhone, true, "iphone", "Cam \u00B7 iPhone"},
        {Connection::other, true, "cable.connector.horizontal", "Cam"},
        {Connection::other, false, "web.camera", "Cam"},
    };
    for (const Case& c : cases) {
        const CaptureDeviceInfo info{"id", "Cam", "", c.external, c.connection};
        EXPECT_EQ(info.symbolName(), c.symbol) << CaptureDeviceInfo::rawValue(c.connection);
        EXPECT_EQ(info.displayName(), c.displayName);
    }
}

CaptureDevice device(std::string name, CaptureTransport transport, bool canCapture = true) {
    CaptureDevice result;
    result.id = "id-" + name;
    result.name = std::move(name);
    result.transport = transport;
    result.canCapture = canCapture;
    return result;
}

std::vector<std::string> names(const std::vector<CaptureDeviceInfo>& list) {
    std::vector<std::string> result;
    for (const auto& info : list) {
        result.push_back(info.name);
    }
    return result;
}

TEST(CaptureDeviceList, ExternalDevicesComeFirstEachGroupInFileBrowserOrder) {
    const auto list = CaptureDeviceMonitor::listFrom({
        device("A", CaptureTransport::builtIn),
        device("Cam 10", CaptureTransport::usb),
        device("Z", CaptureTransport::other),
        device("cam 2", CaptureTransport::usb),
        device("Metadata", CaptureTransport::usb, false),
    });
    EXPECT_EQ(names(list), (std::vector<std::string>{"cam 2", "Cam 10", "Z", "A"}));
    EXPECT_FALSE(list.back().isExternal);
    EXPECT_EQ(list.back().connection, Connection::builtIn);
    EXPECT_EQ(list.front().id, "id-cam 2");
}

TEST(CaptureDeviceList, EqualNamesKeepTheSystemsOrderAndNoDevicesGiveAnEmptyList) {
    auto first = device("Cam", CaptureTransport::usb);
    first.id = "first";
    auto second = device("CAM", CaptureTransport::usb);
    second.id = "second";
    const auto list = CaptureDeviceMonitor::listFrom({first, second});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, "first");
    EXPECT_EQ(list[1].id, "second");
    EXPECT_TRUE(CaptureDeviceMonitor::listFrom({}).empty());
    // The professional-card rule is locale-aware case folding, not byte matching.
    EXPECT_TRUE(containsIgnoringCase("Blackmagic UltraStudio", "ULTRASTUDIO"));
    EXPECT_FALSE(containsIgnoringCase("Ultra Studio", "UltraStudio"));
}

TEST(DeckLinkDriverCheck, LooksForTheVendorsLibraryOrItsFolder) {
    const auto root =
        std::filesystem::temp_directory_path() / ("kelvora-decklink-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "usr/lib");
    EXPECT_FALSE(CaptureDeviceInfo::isDeckLinkDriverInstalled(root));
    std::filesystem::create_directories(root / "usr/lib/blackmagic");
    EXPECT_TRUE(CaptureDeviceInfo::isDeckLinkDriverInstalled(root));
    std::filesystem::remove_all(root / "usr/lib/blackmagic");
    std::ofstream(root / "usr/lib/libDeckLinkAPI.so") << "x";
    EXPECT_TRUE(CaptureDeviceInfo::isDeckLinkDriverInstalled(root));
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kelvora
