#pragma once

#include "core/ControlRecords.h"
#include "core/ServiceAnnouncement.h"
#include "receiver/session/PlaybackStatistics.h"

#include <chrono>

namespace kelvora {

// What a sender says about itself (its welcome, its stream info, its DNS-SD announcement) with every text
// it chose cleaned the one way (core/PeerText.h) before the viewer logs, shows or stores any of it: names
// and the engine's name to 64 characters, the sender id to the length of a real one.
WelcomeMessage cleanedWelcome(WelcomeMessage welcome);
StreamInfoMessage cleanedStreamInfo(StreamInfoMessage info);
ServiceAnnouncement cleanedAnnouncement(ServiceAnnouncement announcement);

// The statistics fields a session takes from a welcome and from a stream info.
void applyWelcome(PlaybackStatistics& stats, const WelcomeMessage& welcome,
                  std::chrono::system_clock::time_point connectedSince);
void applyStreamInfo(PlaybackStatistics& stats, const StreamInfoMessage& info);

}  // namespace kelvora
