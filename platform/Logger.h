#pragma once

#include <spdlog/logger.h>

#include <string_view>

namespace kelvora {

// Reverse-DNS prefix of every logger (and queue and thread label) of the sender.
inline constexpr std::string_view kLoggerPrefix = "app.kelvora.sender";
// The viewer's prefix: the receiving side logs under it even in a process that also sends, so that its
// lines can be told apart from the sender's.
inline constexpr std::string_view kViewerLoggerPrefix = "app.kelvora.viewer";

// The process-wide logger of one category, named "app.kelvora.sender.<category>". It is created on first
// use, exactly once, from any thread, and lives until the process ends, so the reference may be kept.
// Every logger writes to standard error and, where a systemd journal is running, to the journal.
spdlog::logger& platformLogger(std::string_view category);
// The same under another prefix: "<prefix>.<category>".
spdlog::logger& platformLogger(std::string_view prefix, std::string_view category);

}  // namespace kelvora
