#pragma once

#include <cstdint>

#include "sender/pipeline/SenderSettings.h"
#include "sender/server/TierPlanner.h"

namespace kelvora {

class SenderSession;

// How a sender output moves its viewers between quality tiers each time it plans them: every viewer's rate
// estimate is brought up to date, the planner gets every viewer's input, and each viewer is then moved
// towards the tier the plan gives it. Called on the output's control queue.
class TierSteering {
  public:
    TierSteering() = delete;

    // Takes in the viewer's latest report, the congestion seen since the last update and the delivery
    // capacity its sink measured, and caps the estimate of a viewer on a small tier that did not ask for
    // full quality.
    static void updateRate(SenderSession& session, const SenderSettings& settings,
                           const TierPlanner::Profile& profile, bool standby, uint64_t now);
    // What the planner needs of one viewer; `proxyKbps` is the proxy tier's bitrate, which a viewer that
    // receives it as hot standby carries besides its own tier.
    static TierPlanner::ClientInput plannerInput(const SenderSession& session, int proxyKbps, uint64_t now);
    // Shows a candidate tier that is ready, gives up a switch that takes too long or that the estimate no
    // longer carries, and starts the switch the plan asks for.
    static void steer(SenderSession& session, const TierPlanner::Plan& plan,
                      const TierPlanner::Profile& profile, bool studioMode, uint64_t now);
    // Whether the viewer builds `tier` up beside a smaller one it shows, or is about to as the plan moves it
    // up to it.
    static bool buildsUpTo(const SenderSession& session, const TierPlanner::Plan& plan, uint8_t tier);
    // Whether the viewer receives the proxy tier as hot standby beside the main tier.
    static bool receivesStandbyProxy(const SenderSession& session);
};

}  // namespace kelvora
