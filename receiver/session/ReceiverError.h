#pragma once

#include <exception>
#include <string>

#include "core/EngineKind.h"

namespace kelvora {

// Why a receiver session ended, where the cause is the session's own finding rather than an error of the
// connection or the engine (those end the session unchanged). Thrown and carried by value; text() is the
// German sentence the viewer sees.
class ReceiverError : public std::exception {
  public:
    // connectTimeout: no welcome in time, or nothing at all from the sender for a while after it.
    enum class Kind { engineUnavailable, connectTimeout, closedBySender, mediaChannelClosed };

    static ReceiverError engineUnavailable(EngineKind engine);
    static ReceiverError connectTimeout() { return ReceiverError(Kind::connectTimeout, {}); }
    static ReceiverError closedBySender() { return ReceiverError(Kind::closedBySender, {}); }
    static ReceiverError mediaChannelClosed() { return ReceiverError(Kind::mediaChannelClosed, {}); }

    Kind kind() const { return kind_; }
    // The engine the welcome named, for engineUnavailable.
    const EngineKind& engine() const { return engine_; }
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const ReceiverError& a, const ReceiverError& b) {
        return a.kind_ == b.kind_ && a.engine_ == b.engine_;
    }

  private:
    ReceiverError(Kind kind, EngineKind engine);

    Kind kind_;
    EngineKind engine_;
    std::string text_;
};

// The readable text of any error that ended a session: what() of a standard exception, or a generic
// sentence for anything else; empty for none.
std::string describeError(const std::exception_ptr& error);

}  // namespace kelvora
