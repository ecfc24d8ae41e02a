#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sender/pipeline/EncoderConfiguration.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/TierLayout.h"
#include "sender/pipeline/VideoEncoder.h"

namespace kelvora {

// The encoders of the running quality tiers, one per tier. Changed on the pipeline's control queue and
// read from the source's thread too, so the table has a lock of its own; an encoder's own lock is only
// ever taken inside it.
class TierEncoders {
  public:
    using Factory = std::function<std::shared_ptr<VideoEncoder>(uint8_t tier, const EncoderConfiguration&)>;

    // Starts, reconfigures and stops encoders so that they match what TierLayout says for `settings` and
    // `inputs`; `make` builds a missing one.
    void update(const SenderSettings& settings, const TierInputs& inputs, const Factory& make);

    // The encoder of `tier`, if it runs.
    std::shared_ptr<VideoEncoder> find(uint8_t tier) const;
    // All of them, by tier.
    std::map<uint8_t, std::shared_ptr<VideoEncoder>> snapshot() const;
    // All of them, for the source's thread to hand a picture to.
    std::vector<std::shared_ptr<VideoEncoder>> list() const;
    // Each encoder starts a new session with its next picture.
    void resetSessions();
    // Stops every encoder: without a source no tier runs.
    void clear();

  private:
    mutable std::mutex lock_;
    std::map<uint8_t, std::shared_ptr<VideoEncoder>> encoders_;
};

}  // namespace kelvora
