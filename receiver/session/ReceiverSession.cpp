#include "receiver/session/ReceiverSession.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "core/LatencyTrace.h"
#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "core/PeerText.h"
#include "core/TcpByteStream.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/PlaybackEngineRegistry.h"
#include "receiver/session/SenderRecords.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kelvora {

namespace {

std::string queueLabel(std::string_view suffix) {
    std::string label(ReceiverSession::viewerPrefix);
    label += '.';
    label += suffix;
    return label;
}

std::exception_ptr errorOf(const ConnectionError& error) {
    if (const auto* code = std::get_if<std::error_code>(&error)) {
        return std::make_exception_ptr(std::system_error(*code));
    }
    return std::make_exception_ptr(std::get<WireError>(error));
}

}  // namespace

// The engine's way back to the sender. Holds the session weakly: an engine may
// outlive its session.
class ReceiverSession::ControlChannel final : public PlaybackControlChannel {
  public:
    explicit ControlChannel(std::weak_ptr<ReceiverSession> session) : session_(std::move(session)) {}

    void send(ControlMessage message) override {
        if (auto session = session_.lock()) {
            session->onQueue([message = std::move(message)](ReceiverSession& self) { self.send(message); });
        }
    }

  private:
    std::weak_ptr<ReceiverSession> session_;
};

std::shared_ptr<ReceiverSession> ReceiverSession::create(EngineKind engineKind, NetworkEndpoint endpoint,
                                                         ReceiverIdentity identity,
                                                         std::shared_ptr<VideoRenderer> renderer,
                                                         std::shared_ptr<TimerSource> scheduler) {
    if (!scheduler) {
        scheduler = TimerSource::system();
    }
    return std::shared_ptr<ReceiverSession>(new ReceiverSession(std::move(engineKind), std::move(endpoint),
                                                                std::move(identity), std::move(renderer),
                                                                std::move(scheduler)));
}

ReceiverSession::ReceiverSession(EngineKind engineKind, NetworkEndpoint endpoint, ReceiverIdentity identity,
                                 std::shared_ptr<VideoRenderer> renderer,
                                 std::shared_ptr<TimerSource> scheduler)
    : engineKind_(std::move(engineKind)),
      endpoint_(std::move(endpoint)),
      identity_(std::move(identity)),
      renderer_(std::move(renderer)),
      scheduler_(std::move(scheduler)),
      queue_(std::make_shared<SerialQueue>(queueLabel("receiver.session"))),
      presentQueue_(std::make_shared<SerialQueue>(queueLabel("receiver.present"))) {
    lastReportTime_ = now();
}

ReceiverSession::~ReceiverSession() {
    // The owner let go without stop(): the engine still gets its one stop() on
    // the queue it lives on, and the connection (gone with us) cancels its stream
    // by itself.
    if (engine_) {
        queue_->async([engine = std::move(engine_)] { engine->stop(); });
    }
}

const std::vector<VideoCodec>& ReceiverSession::supportedCodecs() {
    static const std::vector<VideoCodec> codecs = [] {
        std::vector<VideoCodec> list{VideoCodec::h264};
        if (avcodec_find_decoder(AV_CODEC_ID_HEVC) != nullptr) {
            list.push_back(VideoCodec::hevc);
        }
        return list;
    }();
    return codecs;
}

void ReceiverSession::onQueue(std::function<void(ReceiverSession&)> work) {
    queue_->async([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

void ReceiverSession::send(ControlMessage message) {
    if (control_) {
        control_->send(message);
    }
}

bool ReceiverSession::protocolAtLeast(int version) const {
    return welcome_ && welcome_->protocolVersion >= version;
}

// MARK: - Owner's calls

void ReceiverSession::setEventHandler(EventHandler handler) {
    onQueue([handler = std::move(handler)](ReceiverSession& self) mutable {
        if (!self.ended_) {
            self.eventHandler_ = std::move(handler);
        }
    });
}

void ReceiverSession::start() {
    onQueue([](ReceiverSession& self) { self.connect(); });
}

void ReceiverSession::stop() {
    onQueue([](ReceiverSession& self) {
        if (self.ended_) {
            return;
        }
        self.closeControl("receiver stopped");
        self.end(nullptr, false);
    });
}

void ReceiverSession::setPreferredQuality(StreamQuality quality) {
    onQueue([quality](ReceiverSession& self) {
        self.preferredQuality_ = quality;
        if (self.protocolAtLeast(4)) {
            self.send(QualityPreferenceMessage{quality});
        }
    });
}

void ReceiverSession::updateTuning(StreamTuning tuning) {
    onQueue([tuning = std::move(tuning)](ReceiverSession& self) {
        if (self.welcome_ && self.welcome_->supportsTuning.value_or(false)) {
            self.send(StreamTuningUpdate{tuning});
        }
    });
}

void ReceiverSession::requestSourceRestart() {
    onQueue([](ReceiverSession& self) {
        if (self.protocolAtLeast(4)) {
            self.send(RestartSourceMessage{});
        }
    });
}

void ReceiverSession::requestKeyframe() {
    onQueue([](ReceiverSession& self) {
        self.keyframeRequests_ += 1;
        self.send(KeyframeRequestMessage{KeyframeRequestMessage::Reason::manual, std::nullopt});
    });
}

void ReceiverSession::setSmoothingEnabled(bool enabled) {
    onQueue([enabled](ReceiverSession& self) {
        self.smoothingEnabled_ = enabled;
        if (!enabled) {
            self.playoutTargetMs_.reset();
        }
    });
}

void ReceiverSession::setDecoderWorker(std::shared_ptr<SerialQueue> worker) {
    onQueue([worker = std::move(worker)](ReceiverSession& self) { self.decoderWorker_ = worker; });
}

void ReceiverSession::setFrameFilter(FrameFilter filter) {
    onQueue([filter = std::move(filter)](ReceiverSession& self) { self.frameFilter_ = filter; });
}

PlaybackStatistics ReceiverSession::statistics() const {
    std::lock_guard lock(statsMutex_);
    return stats_;
}

std::optional<HostPortEndpoint> ReceiverSession::remote() const {
    std::lock_guard lock(remoteMutex_);
    return remote_;
}

// MARK: - Engine's calls

void ReceiverSession::receive(EncodedVideoFrame frame, uint64_t arrivalTime) {
    if (queue_->isCurrent()) {
        heardFromSender();
        handleVideoFrame(std::move(frame), arrivalTime);
        return;
    }
    const size_t bytes = frame.dataByteCount();
    const uint8_t tier = frame.tier;
    bool fits = false;
    bool startsRefusing = false;
    {
        std::lock_guard lock(inbox_.mutex);
        if (inbox_.refusing[tier] && !frame.isKeyframe()) {
            return;
        }
        fits = inbox_.frames == 0 ||
               (inbox_.frames < maximumInboxFrames && inbox_.bytes + bytes <= maximumInboxBytes);
        startsRefusing = !fits && !inbox_.refusing[tier];
        inbox_.refusing[tier] = !fits;
        if (fits) {
            inbox_.frames += 1;
            inbox_.bytes += bytes;
        }
    }
    if (startsRefusing) {
        onQueue([tier](ReceiverSession& self) {
            if (self.ended_) {
                return;
            }
            ViewerLog::player().info(
                "Sitzung kommt nicht nach (Stufe {}): verwirft bis zum nächsten Keyframe", tier);
            self.dropToNextKeyframe(tier, 0, self.now());
        });
    }
    if (!fits) {
        return;
    }
    onQueue([frame = std::move(frame), arrivalTime, bytes](ReceiverSession& self) mutable {
        {
            std::lock_guard lock(self.inbox_.mutex);
            self.inbox_.frames -= 1;
            self.inbox_.bytes -= bytes;
        }
        self.heardFromSender();
        self.handleVideoFrame(std::move(frame), arrivalTime);
    });
}

void ReceiverSession::displayDecodedFrame(PixelBuffer picture, std::optional<uint64_t> captureTime,
                                          std::optional<VideoCodec> codec) {
    if (!picture) {
        return;
    }
    if (renderer_) {
        renderer_->enqueue(picture);
    }
    frameOutput(picture);
    if (captureTime) {
        LatencyTrace::mark(LatencyStage::presented, LatencyTrace::anyTier, *captureTime);
    }
    const uint64_t shownAt = now();
    bool fromTimecode = false;
    if (!captureTime) {
        captureTime = TestPatternTimecode::read(picture);
        fromTimecode = captureTime.has_value();
    }
    const VideoDimensions dimensions{picture.width(), picture.height()};
    onQueue([=](ReceiverSession& self) {
        self.heardFromSender();
        self.recordEngineDecodedFrame(shownAt, captureTime, fromTimecode, codec, dimensions);
    });
}

void ReceiverSession::mediaChannelFailed(std::exception_ptr error) {
    onQueue([error](ReceiverSession& self) {
        if (self.ended_) {
            return;
        }
        ViewerLog::player().error("Medienkanal ausgefallen");
        self.end(error ? error : std::make_exception_ptr(ReceiverError::mediaChannelClosed()), true);
    });
}

// MARK: - Connection and handshake

void ReceiverSession::connect() {
    if (ended_ || control_) {
        return;
    }
    auto stream = TcpByteStream::connect(queue_, endpoint_, connectTimeout);
    control_ = FramedConnection::create(std::move(stream), queue_);
    control_->setFaultLog(WireFaultLog::viewer());
    control_->setEventHandler([weak = weak_from_this()](FramedConnection::Event event) {
        if (auto self = weak.lock()) {
            self->handleConnectionEvent(std::move(event));
        }
    });
    welcomeGuard_ = scheduler_->after(queue_, welcomeTimeout, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->ended_ || self->welcome_) {
            return;
        }
        ViewerLog::player().error("Verbindungsaufbau dauert zu lange");
        self->end(std::make_exception_ptr(ReceiverError::connectTimeout()), true);
    });
    control_->start();
}

void ReceiverSession::handleConnectionEvent(FramedConnection::Event event) {
    if (ended_) {
        return;
    }
    if (std::holds_alternative<FramedConnection::Ready>(event)) {
        HelloMessage hello;
        hello.clientID = identity_.clientID;
        hello.clientName = identity_.clientName;
        hello.protocolVersion = protocolVersion;
        hello.engine = engineKind_;
        hello.supportedCodecs = supportedCodecs();
        hello.deviceModel = identity_.deviceModel;
        hello.supportsTuning = true;
        send(std::move(hello));
    } else if (auto* message = std::get_if<FramedConnection::Message>(&event)) {
        heardFromSender();
        handleMessage(message->message);
    } else if (auto* closed = std::get_if<FramedConnection::Closed>(&event)) {
        end(closed->error ? errorOf(*closed->error)
                          : std::make_exception_ptr(ReceiverError::closedBySender()),
            true);
    }
}

void ReceiverSession::handleMessage(const ControlMessage& message) {
    // Texts the sender chose are cleaned here, before anything logs, shows or keeps them.
    if (const auto* welcome = message.get<WelcomeMessage>()) {
        if (welcome_) {
            // One connection, one handshake: a repeated welcome must not start a second engine or a second
            // set of timers beside the running ones.
            if (const auto count = repeatedWelcomeLog_.count(now())) {
                ViewerLog::player().warn("Weiteres Welcome von {} ignoriert ({} seit der letzten Meldung)",
                                         peerText(welcome->senderName), *count);
            }
            return;
        }
        handleWelcome(cleanedWelcome(*welcome));
    } else if (const auto* received = message.get<StreamInfoMessage>()) {
        const StreamInfoMessage info = cleanedStreamInfo(*received);
        {
            std::lock_guard lock(statsMutex_);
            applyStreamInfo(stats_, info);
        }
        if (eventHandler_) {
            eventHandler_(StreamInfoChanged{info});
        }
    } else if (const auto* frame = message.get<EncodedVideoFrame>()) {
        handleVideoFrame(*frame, now());
    } else if (const auto* prefer = message.get<PreferTierMessage>()) {
        tiers_.setPreferredTier(prefer->tier);
    } else if (const auto* tuning = message.get<StreamTuning>()) {
        if (eventHandler_) {
            eventHandler_(TuningReceived{*tuning});
        }
    } else if (const auto* sync = message.get<TimeSyncResponse>()) {
        clock_.add(sync->clientSendTime, sync->serverReceiveTime, sync->serverSendTime, now());
    } else if (const auto* signal = message.get<EngineSignalMessage>()) {
        if (engine_) {
            engine_->handle(*signal);
        }
    } else if (const auto* goodbye = message.get<GoodbyeMessage>()) {
        ViewerLog::player().info("Sender beendet Verbindung: {}", peerText(goodbye->reason));
        end(std::make_exception_ptr(ReceiverError::closedBySender()), true);
    }
}

void ReceiverSession::handleWelcome(const WelcomeMessage& welcome) {
    welcome_ = welcome;
    // Versions beyond ours can only mean features we do not know; a hostile value must not wrap around.
    tiers_.setProtocolVersion(static_cast<int>(
        std::clamp<int64_t>(welcome.protocolVersion, 0, HelloMessage::currentProtocolVersion)));
    welcomeGuard_.cancel();
    if (preferredQuality_ != StreamQuality::automatic && protocolAtLeast(4)) {
        send(QualityPreferenceMessage{preferredQuality_});
    }
    {
        std::lock_guard lock(statsMutex_);
        applyWelcome(stats_, welcome, std::chrono::system_clock::now());
    }

    engine_ = PlaybackEngineRegistry::makeEngine(welcome.engine);
    if (!engine_) {
        end(std::make_exception_ptr(ReceiverError::engineUnavailable(welcome.engine)), true);
        return;
    }

    std::optional<std::string> senderHost;
    if (auto endpoint = control_ ? control_->remoteEndpoint() : std::nullopt) {
        if (const auto* hostPort = endpoint->asHostPort()) {
            senderHost = hostPort->host;
            std::lock_guard lock(remoteMutex_);
            remote_ = HostPortEndpoint{hostPort->host.substr(0, hostPort->host.find('%')), hostPort->port};
        }
    }

    PlaybackEngineContext context{welcome, senderHost, queue_,
                                  std::make_shared<ControlChannel>(weak_from_this()), weak_from_this()};
    try {
        engine_->start(context);
    } catch (const std::exception& error) {
        ViewerLog::player().error("Engine-Start fehlgeschlagen: {}", error.what());
        end(std::current_exception(), true);
        return;
    }

    startTimers();
    keyframeRequests_ += 1;
    send(KeyframeRequestMessage{KeyframeRequestMessage::Reason::connect, std::nullopt});
    ViewerLog::player().info("Verbunden mit {} über {}", welcome.senderName, welcome.engine.description());
    if (eventHandler_) {
        eventHandler_(Connected{welcome});
    }
}

void ReceiverSession::closeControl(std::optional<std::string> reason) {
    if (!control_) {
        return;
    }
    // The connection keeps itself until its goodbye is out.
    control_->close(std::move(reason));
    control_.reset();
}

void ReceiverSession::end(std::exception_ptr error, bool notifyOwner) {
    if (ended_) {
        return;
    }
    ended_ = true;
    std::vector<TimerSource::Handle> waiting;  // cancelled once the lock is let go
    {
        std::lock_guard lock(presentationMutex_);
        presentation_.ended = true;
        waiting = presentation_.playout.clear();
    }
    waiting.clear();
    welcomeGuard_.cancel();
    timers_.clear();
    if (engine_) {
        engine_->stop();
        engine_.reset();
    }
    closeControl(std::nullopt);
    for (auto& [tier, slot] : decoders_) {
        slot.decoder->invalidate();
    }
    decoders_.clear();
    auto handler = std::move(eventHandler_);
    eventHandler_ = nullptr;
    if (notifyOwner && handler) {
        handler(Ended{error});
    }
}

}  // namespace kelvora
