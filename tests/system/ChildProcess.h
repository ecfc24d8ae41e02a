#pragma once

// A program under test in a process of its own: a home of its own (HOME and the XDG folders under it), no
// display of the caller's, its output in one file, and a process group of its own so that a wrapper such as
// xvfb-run and the program under it end together.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvora::testing {

class ChildProcess {
  public:
    // `append` keeps what earlier runs of a restarted program wrote to the same file.
    enum class LogMode { truncate, append };

    // With an `errorPath`, standard error goes there instead of into the log with standard output.
    ChildProcess(const std::filesystem::path& home, std::filesystem::path logPath,
                 std::vector<std::string> argv, std::vector<std::string> extraEnvironment = {},
                 LogMode mode = LogMode::truncate, const std::filesystem::path& errorPath = {})
        : logPath_(std::move(logPath)) {
        // A variable given here replaces the caller's: with two entries of one name, a program reads the
        // first.
        const auto overridden = [&](const std::string& text) {
            const auto name = text.substr(0, text.find('=') + 1);
            return std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                               [&](const std::string& extra) { return extra.rfind(name, 0) == 0; });
        };
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0 && text.rfind("DISPLAY=", 0) != 0 &&
                text.rfind("WAYLAND_DISPLAY=", 0) != 0 && !overridden(text)) {
                environment.push_back(text);
            }
        }
        environment.push_back("HOME=" + home.string());
        environment.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
        std::filesystem::create_directories(home / "runtime");
        std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
        for (auto& text : extraEnvironment) {
            environment.push_back(std::move(text));
        }
        std::vector<char*> envp;
        for (auto& text : environment) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);
        std::vector<char*> args;
        for (auto& text : argv) {
            args.push_back(text.data());
        }
        args.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const int flags = O_WRONLY | O_CREAT | (mode == LogMode::append ? O_APPEND : O_TRUNC);
        posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), flags, 0600);
        if (errorPath.empty()) {
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), flags, 0600);
        }
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int spawned = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = 0;
            throw std::runtime_error("cannot start " + argv[0]);
        }
        group_ = pid_;
    }

    // Asked to stop first, so that a sender withdraws its DNS-SD announcement before the next test browses.
    // The whole group is gone before the next test starts, not only the program started: an X server that
    // xvfb-run leaves still ending would otherwise remove the socket of the next test's server under the
    // same display number.
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            if (!wait(std::chrono::seconds(5))) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        using namespace std::chrono_literals;
        for (auto waited = 0ms; group_ > 0 && ::kill(-group_, 0) == 0; waited += 50ms) {
            if (waited >= 5s) {
                ::kill(-group_, SIGKILL);
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool alive() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = 0;
        }
        return pid_ > 0;
    }

    // The exit status once the process ended within `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        using namespace std::chrono_literals;
        for (auto waited = 0ms; waited < limit; waited += 50ms) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return status;
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

    std::string log() const {
        std::ifstream file(logPath_);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }

    // Waits up to `limit` for the log to match; the match's groups when it does.
    std::optional<std::vector<std::string>> waitFor(const std::regex& pattern,
                                                    std::chrono::milliseconds limit) {
        using namespace std::chrono_literals;
        for (auto waited = 0ms; waited < limit; waited += 50ms) {
            const std::string text = log();
            std::smatch match;
            if (std::regex_search(text, match, pattern)) {
                return std::vector<std::string>(match.begin(), match.end());
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

    // Signals the group's process with this command name (the program under a wrapper).
    bool signal(const std::string& command, int number) const {
        const auto pid = member(command);
        return pid && ::kill(*pid, number) == 0;
    }

    // The resident size of the group's process with this command name; 0 when there is none.
    long residentBytes(const std::string& command) const {
        const auto pid = member(command);
        if (!pid) {
            return 0;
        }
        std::ifstream status("/proc/" + std::to_string(*pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6)) * 1024;
            }
        }
        return 0;
    }

  private:
    // The kernel keeps a command name to 15 characters.
    std::optional<pid_t> member(const std::string& command) const {
        const std::string name = command.substr(0, 15);
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) {
                continue;
            }
            const size_t open = line.find('(');
            const size_t close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close < open) {
                continue;
            }
            std::istringstream rest(line.substr(close + 2));
            std::string state;
            pid_t parent = 0;
            pid_t group = 0;
            rest >> state >> parent >> group;
            if (group == pid_ && line.substr(open + 1, close - open - 1) == name) {
                return static_cast<pid_t>(std::stoi(entry.path().filename().string()));
            }
        }
        return std::nullopt;
    }

    std::filesystem::path logPath_;
    pid_t pid_ = 0;
    // The process group the program leads, kept after the program itself has been waited for.
    pid_t group_ = 0;
};

// Whether PATH holds an executable of this name (xvfb-run for the programs that need a display).
inline bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace kelvora::testing
