// The desktop program as a user meets it, on a virtual X display (the test runs under xvfb-run) with a home
// and XDG folders of its own: windows are found by title with xdotool, effects are read from the defaults
// file and the autostart folder, and a viewer watches on loopback. The outputs listen on fixed ports, so
// these tests run alone.

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ControlMessage.h"
#include "core/Json.h"
#include "core/LoopbackPeer.h"
#include "system/ChildProcess.h"

extern char** environ;

using namespace kelvora;
using namespace kelvora::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kControlPort = 47810;
constexpr auto kDeadline = 30s;

// Polls `condition` until it holds or the deadline passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = kDeadline,
                std::chrono::milliseconds step = 50ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(step);
    }
    return condition();
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A command's standard output (xdotool), empty when it fails.
std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
            text.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return text;
}

// The X window id of the first shown window with exactly this title.
std::optional<unsigned long> visibleWindow(const std::string& title) {
    std::istringstream ids(output("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null"));
    unsigned long id = 0;
    if (ids >> id) {
        return id;
    }
    return std::nullopt;
}

// What a window manager does when the user clicks a window's close button.
void closeWindow(unsigned long window) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
}

bool listensOn(uint16_t port) {
    char local[16];
    std::snprintf(local, sizeof local, ":%04X ", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(readFile(table));
        std::string line;
        while (std::getline(lines, line)) {
            // Column "st" 0A is LISTEN.
            if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

// A home with the program's folders, removed afterwards.
class TemporaryHome {
  public:
    TemporaryHome() {
        root_ = fs::temp_directory_path() /
                ("tilvara-sender-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::remove_all(root_);
        for (const char* folder : {"config", "data", "cache", "runtime"}) {
            fs::create_directories(root_ / folder);
        }
        fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    }
    ~TemporaryHome() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    const fs::path& root() const { return root_; }
    fs::path defaultsFile() const { return root_ / "config/Kelvora/app.kelvora.sender.defaults.json"; }
    fs::path autostartEntry() const { return root_ / "config/autostart/app.kelvora.sender.desktop"; }

    void writeDefaults(const std::string& json) const {
        fs::create_directories(defaultsFile().parent_path());
        std::ofstream(defaultsFile()) << json;
    }
    std::optional<std::string> senderName() const {
        try {
            const Json stored = json::decode(readFile(defaultsFile()));
            return stored.at("SenderSettings.v1").at("senderName").get<std::string>();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    std::optional<bool> flag(const std::string& key) const {
        try {
            const Json stored = json::decode(readFile(defaultsFile()));
            if (stored.contains(key) && stored[key].is_boolean()) {
                return stored[key].get<bool>();
            }
        } catch (const std::exception&) {
            // A file being replaced reads as nothing yet.
        }
        return std::nullopt;
    }

  private:
    static inline int counter_ = 0;
    fs::path root_;
};

class SenderProgram {
  public:
    SenderProgram(const TemporaryHome& home, std::vector<std::string> arguments = {}) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            bool replaced = false;
            for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=",
                                     "XDG_RUNTIME_DIR=", "QT_QPA_PLATFORM="}) {
                replaced = replaced || text.rfind(name, 0) == 0;
            }
            if (!replaced) {
                environment.push_back(text);
            }
        }
        const fs::path& root = home.root();
        environment.push_back("HOME=" + root.string());
        environment.push_back("XDG_CONFIG_HOME=" + (root / "config").string());
        environment.push_back("XDG_DATA_HOME=" + (root / "data").string());
        environment.push_back("XDG_CACHE_HOME=" + (root / "cache").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (root / "runtime").string());
        std::vector<char*> envp;
        for (auto& text : environment) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);

        std::string program = TILVARA_SENDER_PROGRAM;
        arguments.insert(arguments.begin(), program);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        log_ = root / ("program-" + std::to_string(counter_++) + ".log");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + program);
        }
    }
    ~SenderProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool running() {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return false;
        }
        return true;
    }
    // The exit code once the program ended by itself within the deadline; none while it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = kDeadline) {
        if (!eventually([this] { return !running(); }, limit, 5ms)) {
            return std::nullopt;
        }
        return exitCode_;
    }
    void signal(int number) { ::kill(pid_, number); }
    std::string log() const { return readFile(log_); }

  private:
    static inline int counter_ = 0;
    pid_t pid_ = -1;
    int exitCode_ = -1;
    fs::path log_;
};

// A viewer on the main output: says hello and reads what comes.
class Viewer {
  public:
    Viewer() : peer_(RawPeer::connectTo(kControlPort)) {
        peer_.sendMessage(HelloMessage{
            "viewer", "Testzuschauer", 2, EngineKind::tcp(), {VideoCodec::h264}, "Testgerät", std::nullopt});
    }
    // Reads until a message satisfies `wanted`; false at the end of the stream or after the deadline.
    bool readUntil(const std::function<bool(const ControlMessage&)>& wanted) {
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < end) {
            auto message = peer_.readMessage(nullptr, 5s);
            if (!message) {
                return false;
            }
            if (wanted(*message)) {
                return true;
            }
        }
        return false;
    }
    bool readFrame() {
        return readUntil([](const ControlMessage& message) { return message.is<EncodedVideoFrame>(); });
    }

  private:
    RawPeer peer_;
};

std::optional<Viewer> connectViewer() {
    std::optional<Viewer> viewer;
    eventually([&] {
        try {
            viewer.emplace();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    });
    return viewer;
}

// A window property of 32-bit items (cardinals, window ids); empty when it is missing.
std::vector<long> property(Display* display, Window window, const char* name) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<long> items;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 64, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        if (format == 32) {
            const auto* values = reinterpret_cast<const long*>(data);
            items.assign(values, values + count);
        }
        XFree(data);
    }
    return items;
}

// A window manager (openbox) with a small panel in the top right corner that keeps the top of the screen
// out of the free area, as a tray host does. The manager itself keeps only the panel's own columns clear.
class DesktopWithTopPanel {
  public:
    DesktopWithTopPanel(const TemporaryHome& home, int panelHeight)
        : display_(XOpenDisplay(nullptr)),
          manager_(home.root(), home.root() / "openbox.log", {"openbox"},
                   {std::string("DISPLAY=") + std::getenv("DISPLAY")}) {
        if (display_ == nullptr) {
            throw std::runtime_error("no display");
        }
        const Window root = DefaultRootWindow(display_);
        const int width = DisplayWidth(display_, DefaultScreen(display_));
        ready_ = eventually([&] { return !property(display_, root, "_NET_SUPPORTING_WM_CHECK").empty(); });
        constexpr int kPanelWidth = 30;
        panel_ =
            XCreateSimpleWindow(display_, root, width - kPanelWidth, 0, kPanelWidth, panelHeight, 0, 0, 0);
        const Atom dock = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DOCK", False);
        XChangeProperty(display_, panel_, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&dock), 1);
        // A strut is read when a managed window sets it; a panel mapped while the manager is still starting
        // may be left unmanaged, so it is mapped again until the manager lists it.
        ready_ = ready_ && eventually(
                               [&] {
                                   const auto clients = property(display_, root, "_NET_CLIENT_LIST");
                                   if (std::find(clients.begin(), clients.end(), static_cast<long>(panel_)) !=
                                       clients.end()) {
                                       return true;
                                   }
                                   XUnmapWindow(display_, panel_);
                                   XMapWindow(display_, panel_);
                                   XFlush(display_);
                                   return false;
                               },
                               kDeadline, 500ms);
        const long strut[12] = {0, 0, panelHeight, 0, 0, 0, 0, 0, width - kPanelWidth, width - 1, 0, 0};
        XChangeProperty(display_, panel_, XInternAtom(display_, "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL,
                        32, PropModeReplace, reinterpret_cast<const unsigned char*>(strut), 12);
        XFlush(display_);
        ready_ = ready_ && eventually([&] {
                     const auto area = property(display_, root, "_NET_WORKAREA");
                     return area.size() >= 4 && area[1] == panelHeight;
                 });
    }
    ~DesktopWithTopPanel() { XCloseDisplay(display_); }

    bool ready() const { return ready_; }
    Display* display() const { return display_; }

  private:
    Display* display_;
    ChildProcess manager_;
    Window panel_ = None;
    bool ready_ = false;
};

constexpr const char* kTestPictureDefaults =
    R"({"DidShowOnboarding": true, "SenderSettings.v1": {"useTestPattern": true}})";

TEST(SenderProgram, FirstLaunchShowsTheMainWindowAndStoresItsFlagsAndTheLoginItem) {
    TemporaryHome home;
    SenderProgram program(home);
    ASSERT_TRUE(eventually([] { return visibleWindow("Tilvara Sender").has_value(); })) << program.log();
    EXPECT_EQ(home.flag("DidShowWelcomeWindow"), true);
    EXPECT_EQ(home.flag("DidConfigureLoginItem"), true);
    EXPECT_NE(readFile(home.autostartEntry()).find("Exec="), std::string::npos);
}

TEST(SenderProgram, ASecondLaunchOpensTheWindowOfTheFirstAndEnds) {
    TemporaryHome home;
    // Introduction and welcome already seen: the first launch opens no window by itself.
    home.writeDefaults(R"({"DidShowOnboarding": true, "DidShowWelcomeWindow": true})");
    SenderProgram first(home);
    ASSERT_TRUE(eventually([&] { return home.flag("DidConfigureLoginItem").has_value(); })) << first.log();
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(visibleWindow("Tilvara Sender").has_value());

    SenderProgram second(home);
    EXPECT_EQ(second.waitForExit(), 0) << second.log();
    EXPECT_TRUE(eventually([] { return visibleWindow("Tilvara Sender").has_value(); })) << first.log();
    EXPECT_TRUE(first.running());
}

TEST(SenderProgram, RemovingTheLoginItemStartsNothingAndEnds) {
    TemporaryHome home;
    fs::create_directories(home.autostartEntry().parent_path());
    std::ofstream(home.autostartEntry())
        << "[Desktop Entry]\nType=Application\nName=Tilvara Sender\nExec=x\n";
    ASSERT_FALSE(listensOn(kControlPort));

    SenderProgram program(home, {"--remove-login-item"});
    bool listened = false;
    ASSERT_TRUE(eventually(
        [&] {
            listened = listened || listensOn(kControlPort);
            return !program.running();
        },
        kDeadline, 1ms));
    EXPECT_EQ(program.waitForExit(), 0) << program.log();
    EXPECT_FALSE(listened);
    EXPECT_FALSE(fs::exists(home.autostartEntry()));
    EXPECT_EQ(home.flag("DidConfigureLoginItem"), true);
    EXPECT_FALSE(home.flag("DidShowWelcomeWindow").has_value());
}

TEST(SenderProgram, ClosingTheWindowKeepsSendingAndSigtermSaysGoodbye) {
    TemporaryHome home;
    home.writeDefaults(kTestPictureDefaults);
    SenderProgram program(home);
    std::optional<unsigned long> window;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow("Tilvara Sender")).has_value(); }))
        << program.log();
    auto viewer = connectViewer();
    ASSERT_TRUE(viewer.has_value()) << program.log();
    ASSERT_TRUE(viewer->readFrame()) << program.log();

    closeWindow(*window);
    ASSERT_TRUE(eventually([] { return !visibleWindow("Tilvara Sender").has_value(); }));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program.running());
    EXPECT_TRUE(viewer->readFrame());

    program.signal(SIGTERM);
    EXPECT_TRUE(viewer->readUntil([](const ControlMessage& message) {
        return message.is<GoodbyeMessage>() && message.get<GoodbyeMessage>()->reason == "sender stopped";
    }));
    EXPECT_EQ(program.waitForExit(), 0) << program.log();
}

// Ctrl+Q while the settings window holds a name being typed: the name is stored, and the viewer hears only
// that the sender stopped, never first that it restarts under the new name.
TEST(SenderProgram, QuittingKeepsANameBeingTypedAndViewersHearOnlyThatTheSenderStopped) {
    TemporaryHome home;
    home.writeDefaults(kTestPictureDefaults);
    SenderProgram program(home);
    std::optional<unsigned long> window;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow("Tilvara Sender")).has_value(); }))
        << program.log();
    auto viewer = connectViewer();
    ASSERT_TRUE(viewer.has_value()) << program.log();
    ASSERT_TRUE(viewer->readFrame()) << program.log();

    output("xdotool windowfocus --sync " + std::to_string(*window) + " key --clearmodifiers ctrl+comma");
    std::optional<unsigned long> settings;
    ASSERT_TRUE(eventually([&] { return (settings = visibleWindow("Einstellungen")).has_value(); }))
        << program.log();
    // Tab leads into the name field, the first of the window.
    output("xdotool windowfocus --sync " + std::to_string(*settings) +
           " key --clearmodifiers Tab type --delay 20 'Kamera West'");
    output("xdotool key --clearmodifiers ctrl+q");
    std::string goodbye;
    EXPECT_TRUE(viewer->readUntil([&](const ControlMessage& message) {
        if (message.is<GoodbyeMessage>()) {
            goodbye = message.get<GoodbyeMessage>()->reason;
        }
        return !goodbye.empty();
    }));
    EXPECT_EQ(goodbye, "sender stopped");
    EXPECT_EQ(program.waitForExit(), 0) << program.log();
    EXPECT_EQ(home.senderName(), "Kamera West");
}

TEST(SenderProgram, CtrlAltDSwitchesDeveloperModeFromAnyWindow) {
    TemporaryHome home;
    home.writeDefaults(R"({"DidShowOnboarding": true, "DeveloperMode": true})");
    SenderProgram program(home);
    std::optional<unsigned long> window;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow("Tilvara Sender")).has_value(); }))
        << program.log();
    const std::string id = std::to_string(*window);
    output("xdotool windowfocus --sync " + id + " key --clearmodifiers ctrl+alt+d");
    EXPECT_TRUE(eventually([&] { return home.flag("DeveloperMode") == false; })) << program.log();
    output("xdotool windowfocus --sync " + id + " key --clearmodifiers ctrl+alt+d");
    EXPECT_TRUE(eventually([&] { return home.flag("DeveloperMode") == true; })) << program.log();
}

// Taller with its frame than the free area below a panel, the developer window would be placed by the window
// manager with its title bar beside the panel, above the free area; it opens within the area.
TEST(SenderProgram, TheDeveloperWindowOpensWithinTheFreeAreaBelowAPanel) {
    TemporaryHome home;
    constexpr int kPanel = 260;
    DesktopWithTopPanel desktop(home, kPanel);
    ASSERT_TRUE(desktop.ready()) << readFile(home.root() / "openbox.log");
    Display* display = desktop.display();
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    home.writeDefaults(R"({"DidShowOnboarding": true, "DeveloperMode": true})");
    SenderProgram program(home);
    std::optional<unsigned long> window;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow("Tilvara Sender")).has_value(); }))
        << program.log();
    int top = 0;
    int bottom = 0;
    const auto withinFreeArea = [&] {
        const auto frame = property(display, *window, "_NET_FRAME_EXTENTS");
        XWindowAttributes attributes{};
        int x = 0;
        int y = 0;
        Window child = None;
        if (frame.size() != 4 || !XGetWindowAttributes(display, *window, &attributes) ||
            !XTranslateCoordinates(display, *window, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
            return false;
        }
        top = y - static_cast<int>(frame[2]);
        bottom = y + attributes.height + static_cast<int>(frame[3]);
        return top >= kPanel && bottom <= screenHeight;
    };
    EXPECT_TRUE(eventually(withinFreeArea)) << "frame from " << top << " to " << bottom;
}

}  // namespace
