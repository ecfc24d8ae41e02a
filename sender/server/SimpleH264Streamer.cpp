#include "sender/server/SimpleH264Streamer.h"

#include <limits>
#include <vector>

#include "core/Log.h"
#include "core/WireError.h"

namespace kelvora {

std::shared_ptr<SimpleH264Streamer> SimpleH264Streamer::create(std::string name, int bitrateKbps,
                                                               uint16_t port) {
    auto streamer = std::shared_ptr<SimpleH264Streamer>(new SimpleH264Streamer(std::move(name), bitrateKbps));
    std::weak_ptr<SimpleH264Streamer> weak = streamer;
    SimpleStreamFanOut::Handlers handlers;
    handlers.clientCount = [weak](int count) {
        if (auto self = weak.lock()) {
            self->clientCount_.store(count);
            if (self->clientCountHandler_) {
                self->clientCountHandler_(count);
            }
        }
    };
    handlers.receiverReady = [weak] {
        if (auto self = weak.lock()) {
            std::lock_guard guard(self->lock_);
            self->forceKeyframe_ = true;
        }
    };
    streamer->fanOut_ = SimpleStreamFanOut::create(streamer->queue_, port, std::move(handlers));
    return streamer;
}

SimpleH264Streamer::SimpleH264Streamer(std::string name, int bitrateKbps)
    : name_(std::move(name)),
      queue_(std::make_shared<SerialQueue>(SerialQueue::labelFor("simple"))),
      encodeQueue_(std::make_shared<SerialQueue>(SerialQueue::labelFor("simple.encode"))),
      bitrateKbps_(bitrateKbps) {}

SimpleH264Streamer::~SimpleH264Streamer() {
    // The fan-out's sockets belong to queue_: close them there before the queue goes.
    if (!queue_->isCurrent()) {
        queue_->sync([this] { fanOut_.reset(); });
    }
}

void SimpleH264Streamer::start() {
    {
        std::lock_guard guard(lock_);
        stopped_.store(false);
    }
    auto self = shared_from_this();
    queue_->async([self] { self->fanOut_->start(); });
}

void SimpleH264Streamer::stop() {
    auto self = shared_from_this();
    queue_->async([self] { self->fanOut_->stop(); });
    {
        // A picture handed over before this point belongs to the stream that ends here: it must not bring
        // the encoder back once it is dropped below.
        std::lock_guard guard(lock_);
        stopped_.store(true);
        generation_.fetch_add(1);
    }
    {
        std::lock_guard guard(waitingLock_);
        waiting_.reset();
    }
    // An encode already running finishes with the encoder it took; what it sends reaches no receiver.
    if (!encodeQueue_->isCurrent()) {
        encodeQueue_->sync([] {});
    }
    std::lock_guard guard(lock_);
    encoder_.reset();
    encoderWidth_ = 0;
    encoderHeight_ = 0;
}

bool SimpleH264Streamer::hasEncoder() {
    std::lock_guard guard(lock_);
    return encoder_ != nullptr;
}

void SimpleH264Streamer::updateBitrate(int kbps) {
    std::lock_guard guard(lock_);
    bitrateKbps_ = kbps;
    if (encoder_) {
        encoder_->setBitrate(kbps);
    }
}

void SimpleH264Streamer::setClientCountHandler(std::function<void(int)> handler) {
    auto self = shared_from_this();
    queue_->async(
        [self, handler = std::move(handler)]() mutable { self->clientCountHandler_ = std::move(handler); });
}

std::optional<uint16_t> SimpleH264Streamer::listeningPort() {
    return queue_->sync([this] { return fanOut_->port(); });
}

void SimpleH264Streamer::encode(const PixelBuffer& picture, uint64_t timeNs) {
    // Nothing is encoded while nobody listens.
    if (clientCount_.load() == 0 || !picture || stopped_.load()) {
        return;
    }
    const uint64_t generation = generation_.load();
    {
        std::lock_guard guard(waitingLock_);
        waiting_ = Waiting{picture, timeNs, generation};
        if (encodeScheduled_) {
            return;
        }
        encodeScheduled_ = true;
    }
    std::weak_ptr<SimpleH264Streamer> weak = weak_from_this();
    encodeQueue_->async([weak] {
        if (auto self = weak.lock()) {
            self->encodeWaiting();
        }
    });
}

std::optional<PixelBuffer> SimpleH264Streamer::encodablePicture(const PixelBuffer& picture) {
    // The encoder takes NV12 of even size; anything else is converted (an odd edge is scaled away).
    const int width = picture.width() & ~1;
    const int height = picture.height() & ~1;
    if (width < 2 || height < 2) {
        return std::nullopt;
    }
    if (picture.format() == PixelFormat::nv12 && width == picture.width() && height == picture.height()) {
        return picture;
    }
    try {
        PixelBuffer converted = PixelBuffer::make(PixelFormat::nv12, width, height);
        transfer_.transfer(picture, converted);
        return converted;
    } catch (const PixelBufferError& error) {
        Log::encoder().debug("Einfacher Stream: Bild nicht umwandelbar: {}", error.what());
        return std::nullopt;
    }
}

void SimpleH264Streamer::encodeWaiting() {
    Waiting next;
    {
        std::lock_guard guard(waitingLock_);
        encodeScheduled_ = false;
        if (!waiting_) {
            return;
        }
        next = std::move(*waiting_);
        waiting_.reset();
    }
    std::optional<PixelBuffer> picture = encodablePicture(next.picture);
    if (!picture) {
        return;
    }

    std::shared_ptr<SimpleH264Encoder> encoder;
    bool forceKeyframe = false;
    {
        std::lock_guard guard(lock_);
        if (stopped_.load() || next.generation != generation_.load()) {
            return;
        }
        if (!encoder_ || encoderWidth_ != picture->width() || encoderHeight_ != picture->height()) {
            encoder_.reset();
            encoderWidth_ = encoderHeight_ = 0;
            std::shared_ptr<SimpleH264Encoder> made =
                SimpleH264Encoder::open(picture->width(), picture->height(), bitrateKbps_);
            if (!made) {
                Log::encoder().error("Einfacher Stream: Encoder nicht verfügbar ({})", -1);
                return;
            }
            Log::encoder().info("Einfacher H.264-Stream: {}×{}, {} kbit/s", picture->width(),
                                picture->height(), bitrateKbps_);
            encoder_ = std::move(made);
            encoderWidth_ = picture->width();
            encoderHeight_ = picture->height();
            forceKeyframe_ = true;
        }
        encoder = encoder_;
        forceKeyframe = forceKeyframe_;
        forceKeyframe_ = false;
    }

    std::optional<SimpleH264Encoder::Frame> frame = encoder->encode(*picture, next.timeNs, forceKeyframe);
    if (!frame || frame->data.empty()) {
        return;
    }
    auto packets = std::make_shared<const Bytes>(packetsFor(*frame));
    const bool isKeyframe = frame->isKeyframe;
    std::weak_ptr<SimpleH264Streamer> weak = weak_from_this();
    queue_->async([weak, packets, isKeyframe] {
        if (auto self = weak.lock()) {
            self->fanOut_->broadcast(packets, isKeyframe);
        }
    });
}

Bytes SimpleH264Streamer::packetsFor(const SimpleH264Encoder::Frame& frame) {
    Bytes packets;
    if (frame.isKeyframe) {
        std::vector<Bytes> sets;
        for (const Bytes& set : frame.parameterSets) {
            if (set.size() <= std::numeric_limits<uint16_t>::max() && sets.size() < 255) {
                sets.push_back(set);
            }
        }
        packets = SimpleStreamProtocol::message(SimpleStreamProtocol::MessageType::parameterSets,
                                                SimpleStreamProtocol::parameterSetsBody(sets));
    }
    const Bytes frameMessage = SimpleStreamProtocol::message(
        SimpleStreamProtocol::MessageType::frame,
        SimpleStreamProtocol::frameBody(frame.isKeyframe, frame.presentationTime, frame.data));
    packets.insert(packets.end(), frameMessage.begin(), frameMessage.end());
    return packets;
}

}  // namespace kelvora
