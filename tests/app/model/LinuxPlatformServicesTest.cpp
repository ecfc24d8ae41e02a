#include "app/model/LinuxPlatformServices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

using namespace kelvora;

namespace {

struct TemporaryFolder {
    TemporaryFolder() : path(std::filesystem::temp_directory_path() / ("model-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(XdgAutostartLoginItem, RegisterWritesTheEntryAndUnregisterRemovesIt) {
    TemporaryFolder folder;
    XdgAutostartLoginItem item(folder.path / "autostart", "/usr/bin/tilvara-sender");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_NE(contents(folder.path / "autostart/app.kelvora.sender.desktop")
                  .find("\nExec=\"/usr/bin/tilvara-sender\"\n"),
              std::string::npos);
    item.unregisterItem();
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Removing what is not there is no failure.
    EXPECT_NO_THROW(item.unregisterItem());
}

TEST(XdgAutostartLoginItem, AnEntryTheDesktopHidesIsNotRegistered) {
    TemporaryFolder folder;
    XdgAutostartLoginItem item(folder.path, "/opt/t");
    for (const char* line : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\n" << line << "\n";
        EXPECT_EQ(item.status(), LoginItemStatus::notRegistered) << line;
    }
}

TEST(XdgAutostartLoginItem, ExecLineQuotesReservedCharacters) {
    const struct {
        const char* program;
        const char* exec;
    } cases[] = {
        {"/opt/Tilvara Sender/bin/t", "Exec=\"/opt/Tilvara Sender/bin/t\""},
        {"/a$b`c\"d", "Exec=\"/a\\\\$b\\\\`c\\\\\"d\""},
        {"/a\\b", "Exec=\"/a\\\\\\\\b\""},
        {"/100%", "Exec=\"/100%%\""},
    };
    for (const auto& c : cases) {
        EXPECT_NE(XdgAutostartLoginItem::entryText(c.program).find(std::string("\n") + c.exec + "\n"),
                  std::string::npos)
            << c.program;
    }
}

TEST(XdgAutostartLoginItem, AProgramPathWithALineBreakIsRefused) {
    TemporaryFolder folder;
    XdgAutostartLoginItem item(folder.path, "/tmp/x\nExec=/bin/evil");
    EXPECT_THROW(item.registerItem(), LoginItemError);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
}

TEST(DeviceNodeCameraAccess, AuthorizedWhenAnyVideoNodeOpensDeniedWhenNoneDoes) {
    const struct {
        std::set<std::string> nodes;
        std::set<std::string> openable;
        CameraAuthorization expected;
    } cases[] = {
        {{}, {}, CameraAuthorization::authorized},
        {{"video0"}, {}, CameraAuthorization::denied},
        {{"video0", "video2"}, {"video2"}, CameraAuthorization::authorized},
        // Only nodes named video<number> count.
        {{"video", "videox", "vbi0", "media0"}, {}, CameraAuthorization::authorized},
    };
    for (const auto& c : cases) {
        TemporaryFolder folder;
        for (const auto& node : c.nodes) {
            std::ofstream(folder.path / node).put('x');
        }
        DeviceNodeCameraAccess access(folder.path, [&](const std::filesystem::path& node) {
            return c.openable.contains(node.filename().string());
        });
        EXPECT_EQ(access.status(), c.expected) << c.nodes.size();
        bool granted = false;
        access.request([&](bool answer) { granted = answer; });
        EXPECT_EQ(granted, c.expected == CameraAuthorization::authorized);
    }
}

TEST(DeviceNodeCameraAccess, OpensRealFiles) {
    TemporaryFolder folder;
    std::ofstream(folder.path / "video0").put('x');
    EXPECT_TRUE(DeviceNodeCameraAccess::openable(folder.path / "video0"));
    EXPECT_FALSE(DeviceNodeCameraAccess::openable(folder.path / "video9"));
}
