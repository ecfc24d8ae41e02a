#include "core/Log.h"

namespace kelvora {

spdlog::logger& Log::network() {
    static spdlog::logger& logger = platformLogger("network");
    return logger;
}

spdlog::logger& Log::capture() {
    static spdlog::logger& logger = platformLogger("capture");
    return logger;
}

spdlog::logger& Log::encoder() {
    static spdlog::logger& logger = platformLogger("encoder");
    return logger;
}

spdlog::logger& Log::decoder() {
    static spdlog::logger& logger = platformLogger("decoder");
    return logger;
}

spdlog::logger& Log::player() {
    static spdlog::logger& logger = platformLogger("player");
    return logger;
}

spdlog::logger& Log::bitrate() {
    static spdlog::logger& logger = platformLogger("bitrate");
    return logger;
}

spdlog::logger& ViewerLog::network() {
    static spdlog::logger& logger = platformLogger(subsystem, "network");
    return logger;
}

spdlog::logger& ViewerLog::decoder() {
    static spdlog::logger& logger = platformLogger(subsystem, "decoder");
    return logger;
}

spdlog::logger& ViewerLog::player() {
    static spdlog::logger& logger = platformLogger(subsystem, "player");
    return logger;
}

}  // namespace kelvora
