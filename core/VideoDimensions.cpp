#include "core/VideoDimensions.h"

#include <cmath>

namespace kelvora {

namespace {

int makeEven(double value) {
    // std::round rounds halves away from zero; clearing the lowest bit then makes the value even.
    auto rounded = static_cast<int64_t>(std::round(value));
    return static_cast<int>(rounded & ~int64_t{1});
}

}  // namespace

std::string VideoDimensions::description() const {
    return std::to_string(width) + "\u00D7" + std::to_string(height);
}

std::string VideoDimensions::label() const {
    return std::to_string(height) + "p";
}

VideoDimensions VideoDimensions::scaled(int toHeight) const {
    if (height < 1)
        return *this;
    double newWidth = static_cast<double>(toHeight) * width / height;
    return {makeEven(newWidth), makeEven(toHeight)};
}

int VideoDimensions::sideFromJson(const Json& object, std::string_view key) {
    int side = json::read<int>(object, key);
    if (side < 0 || side > maximumSide) {
        json::fail("key \"" + std::string(key) + "\": size " + std::to_string(side) + " outside 0...65535");
    }
    return side;
}

VideoDimensions VideoDimensions::fromJson(const Json& object) {
    return {sideFromJson(object, "width"), sideFromJson(object, "height")};
}

Json VideoDimensions::toJson() const {
    Json object = Json::object();
    json::write(object, "width", width);
    json::write(object, "height", height);
    return object;
}

}  // namespace kelvora
