#pragma once

#include "sender/sources/SourceError.h"

#include <string>

namespace kelvora {

// Why an NDI source cannot deliver. `what()` is the German sentence the user sees.
class NDISourceError : public SourceError {
  public:
    enum class Kind { cannotConnect, connectionLost, runtimeMissing };

    static NDISourceError cannotConnect(const std::string& ndiName);
    static NDISourceError connectionLost(const std::string& ndiName);
    static NDISourceError runtimeMissing();

    Kind kind() const { return kind_; }
    // The NDI source's name; empty for `runtimeMissing`.
    const std::string& ndiName() const { return ndiName_; }

  private:
    NDISourceError(Kind kind, std::string ndiName, const std::string& description)
        : SourceError(description), kind_(kind), ndiName_(std::move(ndiName)) {}

    Kind kind_;
    std::string ndiName_;
};

}  // namespace kelvora
