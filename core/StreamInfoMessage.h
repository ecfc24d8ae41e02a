#pragma once

#include <string>

#include "core/Json.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

namespace kelvora {

// What the sender streams right now: part of the welcome, sent again whenever it changes, and the source of
// the announcement's state.
struct StreamInfoMessage {
    enum class State { noSource, starting, live, paused };

    State state = State::noSource;
    std::string sourceName;
    VideoCodec codec = VideoCodec::h264;
    VideoDimensions dimensions;
    int frameRate = 0;
    bool isTestPattern = false;

    bool operator==(const StreamInfoMessage&) const = default;

    static StreamInfoMessage fromJson(const Json& object);
    Json toJson() const;
};

template <>
struct json::EnumStrings<StreamInfoMessage::State> {
    static constexpr std::pair<StreamInfoMessage::State, std::string_view> values[] = {
        {StreamInfoMessage::State::noSource, "noSource"},
        {StreamInfoMessage::State::starting, "starting"},
        {StreamInfoMessage::State::live, "live"},
        {StreamInfoMessage::State::paused, "paused"},
    };
};

}  // namespace kelvora
