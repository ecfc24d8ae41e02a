#include "app/model/LinuxPlatformServices.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "core/Log.h"
#include "platform/ComputerName.h"

namespace kelvora {
namespace {

constexpr const char* entryFileName = "app.kelvora.sender.desktop";
// An autostart entry is a few lines; a far larger file is not one we wrote and is read only in part.
constexpr std::streamsize maximumEntryBytes = 64 * 1024;

// One argument of an Exec line: quoted, with the characters the desktop-entry rules reserve escaped, then
// escaped once more as a desktop-entry string.
std::string execArgument(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    quoted.push_back('"');
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '%') {
            escaped += "%%";
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

bool isVideoNodeName(const std::string& name) {
    if (!name.starts_with("video") || name.size() == 5) {
        return false;
    }
    for (size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path folder, std::filesystem::path program)
    : folder_(std::move(folder)), program_(std::move(program)) {}

std::filesystem::path XdgAutostartLoginItem::defaultFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && std::filesystem::path(config).is_absolute()) {
        return std::filesystem::path(config) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".config" / "autostart";
}

std::filesystem::path XdgAutostartLoginItem::entryPath() const {
    return folder_ / entryFileName;
}

std::string XdgAutostartLoginItem::entryText(const std::filesystem::path& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tilvara Sender\n"
           "Exec=" +
           execArgument(program.string()) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void XdgAutostartLoginItem::registerItem() {
    const std::string program = program_.string();
    if (program.empty() || program.find_first_of("\n\r") != std::string::npos) {
        throw LoginItemError("Der Programmpfad lässt sich nicht in einen Autostart-Eintrag schreiben.");
    }
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    const auto temporary = folder_ / (std::string(".") + entryFileName + ".tmp");
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << entryText(program_);
        file.close();
        if (!file) {
            std::filesystem::remove(temporary, error);
            throw LoginItemError("Autostart-Eintrag nicht schreibbar: " + temporary.string());
        }
    }
    std::filesystem::rename(temporary, entryPath(), error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw LoginItemError("Autostart-Eintrag nicht schreibbar: " + error.message());
    }
}

void XdgAutostartLoginItem::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entryPath(), error);
    if (error) {
        throw LoginItemError("Autostart-Eintrag nicht entfernbar: " + error.message());
    }
}

LoginItemStatus XdgAutostartLoginItem::status() const {
    std::error_code error;
    if (!std::filesystem::is_regular_file(entryPath(), error)) {
        return LoginItemStatus::notRegistered;
    }
    std::ifstream file(entryPath(), std::ios::binary);
    std::string text(static_cast<size_t>(maximumEntryBytes), '\0');
    file.read(text.data(), maximumEntryBytes);
    text.resize(static_cast<size_t>(file.gcount()));
    const bool hidden = text.find("\nHidden=true") != std::string::npos ||
                        text.find("\nX-GNOME-Autostart-enabled=false") != std::string::npos;
    return hidden ? LoginItemStatus::notRegistered : LoginItemStatus::enabled;
}

DeviceNodeCameraAccess::DeviceNodeCameraAccess(std::filesystem::path devices, Opener canOpen)
    : devices_(std::move(devices)), canOpen_(std::move(canOpen)) {}

CameraAuthorization DeviceNodeCameraAccess::status() const {
    bool anyNode = false;
    std::error_code error;
    for (std::filesystem::directory_iterator it(devices_, error), end; !error && it != end;
         it.increment(error)) {
        if (!isVideoNodeName(it->path().filename().string()) || it->is_directory(error)) {
            continue;
        }
        anyNode = true;
        if (canOpen_(it->path())) {
            return CameraAuthorization::authorized;
        }
    }
    return anyNode ? CameraAuthorization::denied : CameraAuthorization::authorized;
}

void DeviceNodeCameraAccess::request(std::function<void(bool granted)> completion) {
    if (completion) {
        completion(status() == CameraAuthorization::authorized);
    }
}

bool DeviceNodeCameraAccess::openable(const std::filesystem::path& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

std::string SystemHostInfo::computerName() const {
    return kelvora::computerName();
}

void PackageManagerUpdaterBackend::start(std::function<void(bool canCheck)> canCheckChanged) {
    if (canCheckChanged) {
        canCheckChanged(false);
    }
}

void PackageManagerUpdaterBackend::checkForUpdates() {
    Log::capture().info("Updates kommen über die Paketverwaltung; das Programm sucht nicht selbst.");
}

}  // namespace kelvora
