#include "core/ReceiverReportMessage.h"

namespace kelvora {

ReceiverReportMessage ReceiverReportMessage::fromJson(const Json& object) {
    return {
        json::read<int>(object, "intervalMs"),        json::read<int>(object, "framesReceived"),
        json::read<int>(object, "framesDecoded"),     json::read<int>(object, "framesDropped"),
        json::read<int>(object, "framesLost"),        json::read<int>(object, "framesLate"),
        json::read<int64_t>(object, "bytesReceived"), json::read<double>(object, "latencyMedianMs"),
        json::read<double>(object, "latencyP95Ms"),   json::read<double>(object, "jitterMs"),
        json::read<double>(object, "rttMs"),          json::read<int>(object, "decodeErrors"),
    };
}

Json ReceiverReportMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "intervalMs", intervalMs);
    json::write(object, "framesReceived", framesReceived);
    json::write(object, "framesDecoded", framesDecoded);
    json::write(object, "framesDropped", framesDropped);
    json::write(object, "framesLost", framesLost);
    json::write(object, "framesLate", framesLate);
    json::write(object, "bytesReceived", bytesReceived);
    json::write(object, "latencyMedianMs", latencyMedianMs);
    json::write(object, "latencyP95Ms", latencyP95Ms);
    json::write(object, "jitterMs", jitterMs);
    json::write(object, "rttMs", rttMs);
    json::write(object, "decodeErrors", decodeErrors);
    return object;
}

}  // namespace kelvora
