#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/SimpleStreamProtocol.h"
#include "platform/PixelBuffer.h"
#include "platform/PixelTransfer.h"
#include "platform/SerialQueue.h"
#include "sender/server/SimpleH264Encoder.h"
#include "sender/server/SimpleStreamFanOut.h"

namespace kelvora {

// A test output: the main source's picture as a plain H.264 stream to whoever connects to its TCP port,
// without handshake, sessions, tiers or announcement. It encodes with an encoder of its own while at least
// one receiver is connected; every keyframe goes out with a parameter-sets packet in front of it.
//
// Threads: encode() is called on the source's thread and only hands the picture over: the encoding runs on
// a queue of its own (the newest waiting picture wins), so a slow encode never holds up the source. The
// listener and the receivers live on the "simple" queue. `lock_` guards the encoder, its size, the keyframe
// flag and the bitrate between the source's thread, updateBitrate (main thread), stop and that queue.
class SimpleH264Streamer : public std::enable_shared_from_this<SimpleH264Streamer> {
  public:
    static std::shared_ptr<SimpleH264Streamer> create(std::string name, int bitrateKbps,
                                                      uint16_t port = SimpleStreamProtocol::defaultPort);
    ~SimpleH264Streamer();
    SimpleH264Streamer(const SimpleH264Streamer&) = delete;
    SimpleH264Streamer& operator=(const SimpleH264Streamer&) = delete;

    // Opens the listener (asynchronously) unless one exists.
    void start();
    // Closes the listener and every receiver, and drops the encoder once an encode in progress has
    // finished; pictures handed over before the stop are not encoded. A stopped streamer can start again.
    void stop();
    // Takes effect on the running encoder at its next picture, and on every later one.
    void updateBitrate(int kbps);
    // One source picture (NV12 or BGRA) with its capture time in nanoseconds. Does nothing while no
    // receiver is connected.
    void encode(const PixelBuffer& picture, uint64_t timeNs);
    // Told the number of connected receivers whenever it changes (on the streamer's queue).
    void setClientCountHandler(std::function<void(int)> handler);

    const std::string& name() const { return name_; }
    // Whether an encoder is open (one exists from the first picture after a receiver connected).
    bool hasEncoder();
    // The bound port, nothing without a listener. Waits for the streamer's queue.
    std::optional<uint16_t> listeningPort();

    // The packets of one encoded frame: a parameter-sets packet before a keyframe (sets that are too long
    // to frame are left out), then the frame packet.
    static Bytes packetsFor(const SimpleH264Encoder::Frame& frame);

  private:
    struct Waiting {
        PixelBuffer picture;
        uint64_t timeNs = 0;
        uint64_t generation = 0;
    };

    SimpleH264Streamer(std::string name, int bitrateKbps);
    void encodeWaiting();
    std::optional<PixelBuffer> encodablePicture(const PixelBuffer& picture);

    const std::string name_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<SerialQueue> encodeQueue_;
    std::shared_ptr<SimpleStreamFanOut> fanOut_;
    std::function<void(int)> clientCountHandler_;  // on queue_
    std::atomic<int> clientCount_{0};

    std::mutex lock_;
    std::shared_ptr<SimpleH264Encoder> encoder_;
    int encoderWidth_ = 0;
    int encoderHeight_ = 0;
    bool forceKeyframe_ = true;
    int bitrateKbps_;
    // Changed under lock_; read without it by encode() to turn pictures away early.
    std::atomic<bool> stopped_{false};
    // Counts stops: a picture handed over before a stop carries an older value and is not encoded.
    std::atomic<uint64_t> generation_{0};

    std::mutex waitingLock_;
    std::optional<Waiting> waiting_;
    bool encodeScheduled_ = false;

    // Only on encodeQueue_.
    PixelTransfer transfer_;
};

}  // namespace kelvora
