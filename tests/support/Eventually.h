#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace kelvora::testing {

// Collects values that arrive on other threads and lets a test wait, with a generous limit, until they
// satisfy a condition. Waiting ends as soon as the condition holds; the limit only keeps a broken build
// from hanging.
template <typename T>
class Eventually {
  public:
    // Notifies under the lock: a waiter that sees the value may return and destroy this object at once, and a
    // notify after unlocking would then touch a condition variable that is gone.
    void push(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }

    // The first value (from the oldest on) that satisfies `condition`, or none after `limit`. `condition`
    // runs under the lock: it must not call back into this object.
    std::optional<T> waitFor(const std::function<bool(const T&)>& condition,
                             std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        std::optional<T> found;
        changed_.wait_for(lock, limit, [&] {
            for (const auto& value : values_) {
                if (condition(value)) {
                    found = value;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // Waits until the values so far, as a whole, satisfy `condition`; returns whether they came to.
    // `condition` runs under the lock: it must not call back into this object.
    bool waitUntil(const std::function<bool(const std::vector<T>&)>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(values_); });
    }

    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

// The private DNS-SD environment of the test script: a system bus of our own with an avahi-daemon on it.
inline bool hasDnsSdEnvironment() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address;
}

// The test script promises that environment, so there a missing one is a fault, not a reason to skip.
inline bool dnsSdEnvironmentRequired() {
    const char* required = std::getenv("KELVORA_REQUIRE_DNSSD");
    return required && *required && std::string_view(required) != "0";
}

}  // namespace kelvora::testing

#define KELVORA_REQUIRE_DNSSD_ENVIRONMENT()                                                                  \
    do {                                                                                                     \
        if (!::kelvora::testing::hasDnsSdEnvironment()) {                                                    \
            if (::kelvora::testing::dnsSdEnvironmentRequired()) {                                            \
                FAIL() << "KELVORA_REQUIRE_DNSSD is set but DBUS_SYSTEM_BUS_ADDRESS is not: the private "    \
                          "avahi-daemon is missing.";                                                        \
            }                                                                                                \
            GTEST_SKIP() << "DBUS_SYSTEM_BUS_ADDRESS is not set: no private avahi-daemon was provided. Run " \
                            "the tests through scripts/test.sh, which starts one.";                          \
        }                                                                                                    \
    } while (false)
