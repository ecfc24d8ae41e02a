// What the desktop program costs on top of sending: the CPU time of tilvara-sender with its main window open
// (developer dashboard) beside the headless kelvora-sender, both live on the test picture with the same
// settings, one loopback viewer each, measured one after the other in the same run. Needs a display: run it
// under xvfb-run.
//
//     xvfb-run -a build/bench/SenderProgramCpuBench

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ControlMessage.h"
#include "core/LoopbackPeer.h"

extern char** environ;

namespace {

using namespace kelvora;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uint16_t kControlPort = 47810;
constexpr auto kWarmUp = 5s;
constexpr auto kWindow = 15s;

// utime + stime of a process and its threads, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

class Program {
  public:
    Program(const std::string& path, std::vector<std::string> arguments, const fs::path& home) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0) {
                environment.push_back(text);
            }
        }
        environment.push_back("HOME=" + home.string());
        environment.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
        std::vector<char*> envp;
        for (auto& text : environment) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);
        arguments.insert(arguments.begin(), path);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = (home / "program.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(50ms);
            }
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A viewer that takes every frame until told to stop.
class Viewer {
  public:
    Viewer() {
        for (int attempt = 0; attempt < 400 && !peer_; ++attempt) {
            try {
                peer_.emplace(testing::RawPeer::connectTo(kControlPort));
            } catch (const std::exception&) {
                std::this_thread::sleep_for(50ms);
            }
        }
        if (!peer_) {
            return;
        }
        peer_->sendMessage(HelloMessage{
            "bench", "Messplatz", 2, EngineKind::tcp(), {VideoCodec::h264}, "Bench", std::nullopt});
        thread_ = std::thread([this] {
            while (!stopping_ && peer_->readMessage(nullptr, 2s)) {
                ++messages_;
            }
        });
    }
    ~Viewer() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int messages() const { return messages_; }

  private:
    std::optional<testing::RawPeer> peer_;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> messages_ = 0;
    std::thread thread_;
};

struct Measurement {
    double cpuPercent = 0;
    int messages = 0;
};

Measurement measure(const std::string& path, const std::vector<std::string>& arguments,
                    const fs::path& home) {
    Program program(path, arguments, home);
    Viewer viewer;
    std::this_thread::sleep_for(kWarmUp);
    const long before = cpuTicks(program.pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const long after = cpuTicks(program.pid());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {100.0 * static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds,
            viewer.messages()};
}

fs::path freshHome(const std::string& name) {
    const fs::path home =
        fs::temp_directory_path() / ("sender-cpu-bench-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(home);
    for (const char* folder : {"config/Kelvora", "data", "runtime"}) {
        fs::create_directories(home / folder);
    }
    fs::permissions(home / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    return home;
}

void BM_DesktopAgainstHeadlessSender(benchmark::State& state) {
    const std::string settings = R"({"useTestPattern": true})";
    for (auto _ : state) {
        const fs::path headlessHome = freshHome("headless");
        std::ofstream(headlessHome / "settings.json") << settings;
        const Measurement headless = measure(
            KELVORA_SENDER_PROGRAM, {"--settings", (headlessHome / "settings.json").string()}, headlessHome);

        // The same settings, the one-time preset already behind it, introduction seen, dashboard on.
        const fs::path desktopHome = freshHome("desktop");
        std::ofstream(desktopHome / "config/Kelvora/app.kelvora.sender.defaults.json")
            << R"({"SenderSettings.v1": )" << settings
            << R"(, "AppliedWeakWiFiPreset.v1": true, "DidShowOnboarding": true, "DeveloperMode": true})";
        const Measurement desktop = measure(TILVARA_SENDER_PROGRAM, {}, desktopHome);

        state.counters["headless_cpu_percent"] = headless.cpuPercent;
        state.counters["desktop_cpu_percent"] = desktop.cpuPercent;
        state.counters["ratio"] = headless.cpuPercent > 0 ? desktop.cpuPercent / headless.cpuPercent : 0;
        state.counters["headless_viewer_messages"] = headless.messages;
        state.counters["desktop_viewer_messages"] = desktop.messages;
        fs::remove_all(headlessHome);
        fs::remove_all(desktopHome);
    }
}
BENCHMARK(BM_DesktopAgainstHeadlessSender)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
