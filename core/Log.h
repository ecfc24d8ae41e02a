#pragma once

#include "platform/Logger.h"

#include <spdlog/logger.h>

#include <string_view>

namespace kelvora {

// The six log categories of the system. Each logger is created once, thread-safely, on first use and is
// itself safe to use from any thread. Log every argument in full: texts and numbers must be readable in
// the log.
class Log {
  public:
    Log() = delete;

    static constexpr std::string_view subsystem = kLoggerPrefix;

    // Connections, server and sessions, media engines, QUIC identity, simple stream, browser, player.
    static spdlog::logger& network();
    // Video sources, device monitor, the pipeline's source handling, the app model.
    static spdlog::logger& capture();
    // Video encoders, simple stream, keyframe requests.
    static spdlog::logger& encoder();
    // Receiver decoder and receiver session.
    static spdlog::logger& decoder();
    // Receiver session and player.
    static spdlog::logger& player();
    // Rate control, tier planning, QUIC congestion, delivery decisions.
    static spdlog::logger& bitrate();
};

// The same categories for the receiving side, under the viewer's prefix ("app.kelvora.viewer.player").
class ViewerLog {
  public:
    ViewerLog() = delete;

    static constexpr std::string_view subsystem = kViewerLoggerPrefix;

    static spdlog::logger& network();
    static spdlog::logger& decoder();
    static spdlog::logger& player();
};

}  // namespace kelvora
