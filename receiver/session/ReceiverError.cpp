#include "receiver/session/ReceiverError.h"

#include <utility>

namespace kelvora {

ReceiverError ReceiverError::engineUnavailable(EngineKind engine) {
    return ReceiverError(Kind::engineUnavailable, std::move(engine));
}

ReceiverError::ReceiverError(Kind kind, EngineKind engine) : kind_(kind), engine_(std::move(engine)) {
    switch (kind_) {
        case Kind::engineUnavailable:
            text_ = "Engine „" + engine_.description() + "“ ist in dieser App nicht verfügbar.";
            break;
        case Kind::connectTimeout:
            text_ = "Der Sender antwortet nicht.";
            break;
        case Kind::closedBySender:
            text_ = "Der Sender hat die Verbindung beendet.";
            break;
        case Kind::mediaChannelClosed:
            text_ = "Die Videoverbindung wurde unterbrochen.";
            break;
    }
}

std::string describeError(const std::exception_ptr& error) {
    if (!error) {
        return {};
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "Unbekannter Fehler";
    }
}

}  // namespace kelvora
