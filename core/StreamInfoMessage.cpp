#include "core/StreamInfoMessage.h"

namespace kelvora {

StreamInfoMessage StreamInfoMessage::fromJson(const Json& object) {
    return {
        json::read<State>(object, "state"),      json::read<std::string>(object, "sourceName"),
        json::read<VideoCodec>(object, "codec"), json::read<VideoDimensions>(object, "dimensions"),
        json::read<int>(object, "frameRate"),    json::read<bool>(object, "isTestPattern"),
    };
}

Json StreamInfoMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "state", state);
    json::write(object, "sourceName", sourceName);
    json::write(object, "codec", codec);
    json::write(object, "dimensions", dimensions);
    json::write(object, "frameRate", frameRate);
    json::write(object, "isTestPattern", isTestPattern);
    return object;
}

}  // namespace kelvora
