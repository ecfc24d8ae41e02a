#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvora {

// Whether this program may open cameras and capture cards.
enum class CameraAuthorization { notDetermined, restricted, denied, authorized };

class CameraAccess {
  public:
    virtual ~CameraAccess() = default;
    virtual CameraAuthorization status() const = 0;
    // Asks for access; `completion` (any thread) learns whether it was granted.
    virtual void request(std::function<void(bool granted)> completion) = 0;
};

enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

class LoginItemError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The program's own entry among the programs started at login.
class LoginItemService {
  public:
    virtual ~LoginItemService() = default;
    // Both throw LoginItemError with a sentence for the log.
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
    virtual LoginItemStatus status() const = 0;
};

class HostInfo {
  public:
    virtual ~HostInfo() = default;
    // Never empty.
    virtual std::string computerName() const = 0;
};

// A modal question with buttons; the answer is the index of the chosen button.
struct Alert {
    std::string message;
    std::string informativeText;
    std::vector<std::string> buttons;
};

class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;
    // Brings the program to the front and waits for the answer (main thread).
    virtual size_t run(const Alert& alert) = 0;
};

// An open dialog for one file.
struct FileRequest {
    std::string title;
    std::filesystem::path folder;  // empty, or a folder that is not there: the dialog's own choice
    std::vector<std::string> nameFilters;
};

class FilePicker {
  public:
    virtual ~FilePicker() = default;
    // The chosen file, nothing when the user cancelled (main thread, modal).
    virtual std::optional<std::filesystem::path> choose(const FileRequest& request) = 0;
};

// What performs update checks. `start` hands over the handler that learns, from then on, whether a
// user-started check may begin now (any thread, at least once).
class UpdaterBackend {
  public:
    virtual ~UpdaterBackend() = default;
    virtual void start(std::function<void(bool canCheck)> canCheckChanged) = 0;
    virtual void checkForUpdates() = 0;
};

}  // namespace kelvora
