#pragma once

#include <stdexcept>
#include <string>

namespace kelvora {

// What a video source hands its failure handler when it can no longer deliver pictures: it could not be
// opened, lost its device or connection, or hit a runtime error. Every source's own error type derives from
// it, so the pipeline can treat them alike; `what()` is the German sentence the user sees.
class SourceError : public std::runtime_error {
  public:
    explicit SourceError(const std::string& description) : std::runtime_error(description) {}

    std::string description() const { return what(); }
};

}  // namespace kelvora
