#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kelvora::testing {

// One environment variable set (or unset) for the life of the object and put back as it was afterwards, so
// that no test leaves the process changed for the tests that run after it.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* previous = std::getenv(name_.c_str())) {
            previous_ = previous;
        }
        set(value);
    }
    ~ScopedEnvironment() { set(previous_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
        // The C library keeps the zone it read from TZ until asked to read it again.
        ::tzset();
    }

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace kelvora::testing
