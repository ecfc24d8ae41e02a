#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <mutex>

namespace kelvora {

// How work from other threads reaches a main-thread object: `post` queues the task on the target's thread,
// and it runs only while the target still exists. Callbacks of pipelines, monitors and streamers hold the
// hop weakly; once the owner closes it nothing more is queued, whatever thread calls.
class MainThreadHop {
  public:
    explicit MainThreadHop(QObject* target) : target_(target) {}

    void post(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        if (target_) {
            QMetaObject::invokeMethod(target_.data(), std::move(task), Qt::QueuedConnection);
        }
    }
    void close() {
        std::lock_guard lock(mutex_);
        target_.clear();
    }

    // A callback for another thread that runs `task` on the main thread while the hop is open.
    template <class... Args, class Task>
    static std::function<void(Args...)> bind(const std::shared_ptr<MainThreadHop>& hop, Task task) {
        return [weak = std::weak_ptr(hop), task = std::move(task)](Args... args) {
            if (auto strong = weak.lock()) {
                strong->post([task, args...] { task(args...); });
            }
        };
    }

  private:
    std::mutex mutex_;
    QPointer<QObject> target_;
};

}  // namespace kelvora
