#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "app/model/PlatformServices.h"

namespace kelvora {

// The login item as an XDG autostart entry, `<folder>/app.kelvora.sender.desktop`. An entry that the desktop
// marks hidden counts as not registered. There is nothing to approve here.
class XdgAutostartLoginItem final : public LoginItemService {
  public:
    XdgAutostartLoginItem(std::filesystem::path folder, std::filesystem::path program);

    // `$XDG_CONFIG_HOME/autostart` when that variable holds an absolute path, else `$HOME/.config/autostart`.
    static std::filesystem::path defaultFolder();

    void registerItem() override;
    void unregisterItem() override;
    LoginItemStatus status() const override;

    std::filesystem::path entryPath() const;
    // The desktop entry that starts `program`.
    static std::string entryText(const std::filesystem::path& program);

  private:
    const std::filesystem::path folder_;
    const std::filesystem::path program_;
};

// No permission prompt on Linux: access is what the device nodes allow. Authorized when one video node opens
// (or when there is none, since nothing is refused then), denied when nodes exist and none opens.
class DeviceNodeCameraAccess final : public CameraAccess {
  public:
    using Opener = std::function<bool(const std::filesystem::path&)>;

    explicit DeviceNodeCameraAccess(std::filesystem::path devices = "/dev", Opener canOpen = openable);

    CameraAuthorization status() const override;
    // Nothing to ask: completes at once with the current answer.
    void request(std::function<void(bool granted)> completion) override;

    // Opens the node for reading and writing without blocking, and closes it again.
    static bool openable(const std::filesystem::path& node);

  private:
    const std::filesystem::path devices_;
    const Opener canOpen_;
};

class SystemHostInfo final : public HostInfo {
  public:
    std::string computerName() const override;
};

// Updates come from the package manager: this backend never allows a check.
class PackageManagerUpdaterBackend final : public UpdaterBackend {
  public:
    void start(std::function<void(bool canCheck)> canCheckChanged) override;
    void checkForUpdates() override;
};

}  // namespace kelvora
