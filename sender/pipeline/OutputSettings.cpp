#include "sender/pipeline/OutputSettings.h"

namespace kelvora {

OutputSettings OutputSettings::fromJson(const Json& object) {
    return {json::read<std::string>(object, "id"), json::read<std::string>(object, "name"),
            json::readOptional<std::string>(object, "sourceID"),
            json::readOptional<VideoDimensions>(object, "resolution"),
            json::readOptional<int>(object, "frameRate")};
}

Json OutputSettings::toJson() const {
    Json object = Json::object();
    json::write(object, "id", id);
    json::write(object, "name", name);
    json::writeOptional(object, "sourceID", sourceID);
    json::writeOptional(object, "resolution", resolution);
    json::writeOptional(object, "frameRate", frameRate);
    return object;
}

}  // namespace kelvora
