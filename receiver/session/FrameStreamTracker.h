#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace kelvora {

// Which frame streams of a QUIC session have not delivered their frame yet, in the order they opened.
// A frame whose stream opened before a stream that already delivered has been overtaken and may still
// arrive; the frame orderers wait longer while such frames exist. Pure bookkeeping over times the caller
// passes in; a stream is named by any key the caller chooses.
class FrameStreamTracker {
  public:
    using Key = const void*;

    // Overtaken frames count as on their way for this long after their stream opened.
    static constexpr double overtakenWaitMs = 1000;
    // A stream that delivered nothing for this long is given up.
    static constexpr double abandonAfterMs = 2000;

    // A new stream opened at `now`.
    void opened(Key key, uint64_t now);
    // The stream delivered its frame.
    void completed(Key key);
    // The stream ended, with or without its frame.
    void forget(Key key) { incomplete_.erase(key); }

    // Overtaken frames opened less than a second ago.
    int framesInFlight(uint64_t now) const;
    // Removes and returns the streams that opened more than two seconds before `now` without a frame.
    std::vector<Key> abandon(uint64_t now);

  private:
    struct Entry {
        uint64_t sequence;
        uint64_t openedAt;
    };

    std::map<Key, Entry> incomplete_;
    uint64_t sequence_ = 0;
    uint64_t newestCompleted_ = 0;
};

}  // namespace kelvora
