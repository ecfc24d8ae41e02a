#pragma once

#include "core/KelvoraService.h"
#include "platform/DnsSdBrowser.h"
#include "platform/SerialQueue.h"
#include "receiver/session/DiscoveredSender.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvora {

// Finds senders on the local network: browses for their DNS-SD service, reads each one's announcement,
// keeps one row per sender id, sorts the rows by name as a file browser would, and reports the whole list
// on every change. After a failure it starts again 2.0 s later.
//
// Threads: everything runs on its own queue ("<prefix>.browser"); both callbacks are called there and the
// owner hops to its own thread from them. start() and stop() may be called from any thread. Releasing the
// browser ends its callbacks.
class SenderBrowser : public std::enable_shared_from_this<SenderBrowser> {
  public:
    using ChangeHandler = std::function<void(const std::vector<DiscoveredSender>&)>;
    using PermissionDeniedHandler = std::function<void()>;

    // Pause after a failure before browsing again.
    static constexpr auto restartDelay = std::chrono::milliseconds(2000);

    // `serviceType` is the senders' type; tests browse for one of their own.
    static std::shared_ptr<SenderBrowser> create(
        std::string serviceType = std::string(KelvoraService::serviceType));
    ~SenderBrowser();

    // Both set before start().
    void setOnChange(ChangeHandler handler);
    void setOnPermissionDenied(PermissionDeniedHandler handler);

    // Starts browsing unless it already does.
    void start();
    // Stops browsing and any pending restart.
    void stop();

    SerialQueue& queue() { return *queue_; }

    // The rows for a set of resolved services: services without an announcement ("id" missing) are left
    // out, the first service of each sender id is kept, and the rows are sorted by name.
    static std::vector<DiscoveredSender> rows(const std::vector<DnsSdService>& services);
    // File-browser order: digit runs by value, letters without regard to case (case only breaks ties).
    static bool nameOrder(const std::string& a, const std::string& b);

  private:
    explicit SenderBrowser(std::string serviceType);
    void startBrowsing();
    void handleStatus(const DnsSdBrowser::Status& status);
    void scheduleRestart();

    std::shared_ptr<SerialQueue> queue_;
    std::string serviceType_;
    ChangeHandler onChange_;
    PermissionDeniedHandler onPermissionDenied_;
    std::unique_ptr<DnsSdBrowser> browser_;
    Timer restart_;
};

}  // namespace kelvora
