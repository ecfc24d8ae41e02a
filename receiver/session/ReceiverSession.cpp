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

using std::chrono::milliseconds;

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

// "10…12", or "keine" while the orderer holds no chain.
std::string chainText(const FrameOrderer& orderer) {
    auto range = orderer.referenceRange();
    if (!range) {
        return "keine";
    }
    return std::to_string(range->first) + "…" + std::to_string(range->second);
}

long whole(double value) {
    return static_cast<long>(value);
}

int clampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
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

// MARK: - Timers

void ReceiverSession::startTimers() {
    auto every = [this](milliseconds interval, std::function<void(ReceiverSession&)> work) {
        timers_.push_back(scheduler_->every(queue_, interval, [weak = weak_from_this(), work] {
            auto self = weak.lock();
            if (self && !self->ended_) {
                work(*self);
            }
        }));
    };
    // The first five requests go out 0.1 s apart, then one a second.
    auto tick = std::make_shared<int>(0);
    every(milliseconds(100), [tick](ReceiverSession& self) { self.timeSyncTick(++*tick); });
    every(milliseconds(5), [](ReceiverSession& self) { self.ordererTick(); });
    every(milliseconds(50), [](ReceiverSession& self) { self.referenceAckTick(); });
    every(milliseconds(1000), [](ReceiverSession& self) { self.reportTick(); });
    every(milliseconds(250), [](ReceiverSession& self) { self.statisticsTick(); });
}

void ReceiverSession::timeSyncTick(int tick) {
    if (tick <= 5 || tick % 10 == 0) {
        TimeSyncRequest request;
        request.clientSendTime = now();
        send(request);
    }
}

void ReceiverSession::ordererTick() {
    const uint64_t time = now();
    const bool inFlight = engine_ && engine_->framesInFlight() > 0;
    // Tiers that have stopped arriving are left alone; the display tier is always
    // watched.
    std::vector<uint8_t> due;
    for (const auto& [tier, orderer] : orderers_) {
        auto arrival = lastArrival_.find(tier);
        const bool recent =
            arrival != lastArrival_.end() && MonotonicClock::milliseconds(arrival->second, time) < 1000;
        if (tiers_.displayTier() == tier || recent) {
            due.push_back(tier);
        }
    }
    for (uint8_t tier : due) {
        auto found = orderers_.find(tier);
        if (found == orderers_.end() || ended_) {
            continue;
        }
        handleOrdererActions(found->second.poll(time, inFlight), tier, time);
    }
}

void ReceiverSession::referenceAckTick() {
    for (const auto& [tier, orderer] : orderers_) {
        acknowledgeReferences(tier, orderer);
    }
}

void ReceiverSession::acknowledgeReferences(uint8_t tier, const FrameOrderer& orderer) {
    if (!protocolAtLeast(3)) {
        return;
    }
    const auto range = orderer.referenceRange().value_or(std::pair<uint64_t, uint64_t>{0, 0});
    auto last = lastReferenceAck_.find(tier);
    if (range == std::pair<uint64_t, uint64_t>{0, 0} && last == lastReferenceAck_.end()) {
        return;
    }
    const ReferenceAckMessage ack{tier, range.first, range.second};
    if (last != lastReferenceAck_.end() && last->second == ack) {
        return;
    }
    lastReferenceAck_[tier] = ack;
    send(ack);
}

void ReceiverSession::reportTick() {
    const uint64_t time = now();
    const double rtt = clock_.minimumRttMilliseconds();
    if (rtt >= 0) {
        waitTimeMs_ = std::min(std::max(2 * rtt + 15, 25.0), 60.0);
        for (auto& [tier, orderer] : orderers_) {
            orderer.setMaximumWaitMs(waitTimeMs_);
        }
    }

    sendReceiverReport(time);

    const double gap = std::exchange(longestGapMs_, 0);
    evaluateFrameRateLimit(gap, time);
    playoutTargetMs_ = playoutTargetMs(smoothingEnabled_, clock_.isSynchronized(), latencyWindow_);

    double smoothingDelay = 0;
    if (auto median = latencyWindow_.median(); playoutTargetMs_ && median) {
        smoothingDelay = std::max(0.0, *playoutTargetMs_ - *median);
    }
    std::vector<double> captureIntervals;
    std::vector<double> displayIntervals;
    {
        std::lock_guard lock(presentationMutex_);
        captureIntervals.swap(presentation_.captureIntervals);
        displayIntervals.swap(presentation_.displayIntervals);
    }
    const double sourceJitter = populationStandardDeviation(captureIntervals);
    const double displayJitter = populationStandardDeviation(displayIntervals);
    std::lock_guard lock(statsMutex_);
    stats_.longestFrameGapMs = gap;
    stats_.sourceCadenceJitterMs = sourceJitter;
    stats_.displayCadenceJitterMs = displayJitter;
    stats_.smoothingDelayMs = smoothingDelay;
}

void ReceiverSession::sendReceiverReport(uint64_t time) {
    ReceiverReportMessage report;
    report.intervalMs = clampToInt(static_cast<int64_t>(time - lastReportTime_) / 1'000'000);
    report.framesReceived = framesReceived_ - lastReportReceived_;
    report.framesDecoded = framesDecoded_ - lastReportDecoded_;
    if (auto tier = tiers_.displayTier()) {
        if (auto orderer = orderers_.find(*tier); orderer != orderers_.end()) {
            const auto& current = orderer->second.counters();
            auto previous = lastReportCounters_.find(*tier);
            const FrameOrderer::Counters before =
                previous == lastReportCounters_.end() ? FrameOrderer::Counters{} : previous->second;
            report.framesDropped = clampToInt(current.dropped - before.dropped);
            report.framesLost = clampToInt(current.lost - before.lost);
            report.framesLate = clampToInt(current.late - before.late);
        }
    }
    report.bytesReceived = totalBytes_ - lastReportBytes_;
    report.latencyMedianMs = latencyWindow_.median().value_or(-1);
    report.latencyP95Ms = latencyWindow_.p95().value_or(-1);
    report.jitterMs = jitter_.jitterMs();
    report.rttMs = clock_.lastRttMilliseconds();
    report.decodeErrors = decodeErrors_ - lastReportDecodeErrors_;

    lastReportTime_ = time;
    for (const auto& [tier, orderer] : orderers_) {
        lastReportCounters_[tier] = orderer.counters();
    }
    lastReportReceived_ = framesReceived_;
    lastReportDecoded_ = framesDecoded_;
    lastReportBytes_ = totalBytes_;
    lastReportDecodeErrors_ = decodeErrors_;
    send(report);
}

void ReceiverSession::evaluateFrameRateLimit(double longestGapMs, uint64_t time) {
    if (!protocolAtLeast(4) || FrameRateLimiter::switchedOffByEnvironment() || !tiers_.displayTier()) {
        return;
    }
    FrameRateLimiter::Inputs inputs;
    inputs.framesPerSecond = fpsMeter_.rate(time);
    inputs.receiverMedianMs = receiverWindow_.median();
    inputs.transferMedianMs = transferWindow_.median();
    inputs.longestGapMs = longestGapMs;
    inputs.bridging = tiers_.isBridging();
    auto change = frameRateLimiter_.evaluate(inputs, time);
    if (!change) {
        return;
    }
    send(FrameRateLimitMessage{static_cast<uint16_t>(change->maxFps)});
    {
        std::lock_guard lock(statsMutex_);
        stats_.requestedMaxFps = change->maxFps;
    }
    ViewerLog::player().info(
        "Bildraten-Grenze {}: {}",
        change->maxFps == 0 ? std::string("aufgehoben") : std::to_string(change->maxFps) + " fps",
        change->reason);
}

void ReceiverSession::statisticsTick() {
    const uint64_t time = now();
    FrameOrderer::Counters sums;
    for (const auto& [tier, orderer] : orderers_) {
        const auto& counters = orderer.counters();
        sums.lost += counters.lost;
        sums.dropped += counters.dropped;
        sums.late += counters.late;
        sums.skippedBySender += counters.skippedBySender;
    }
    const double fps = fpsMeter_.rate(time);
    const double kbps = bytesMeter_.rate(time) * 8 / 1000;
    const double minimumRtt = clock_.minimumRttMilliseconds();

    std::lock_guard lock(statsMutex_);
    stats_.framesPerSecond = fps;
    stats_.receivedKbps = kbps;
    stats_.latencyMs = latencyWindow_.median();
    stats_.latencyP95Ms = latencyWindow_.p95();
    stats_.networkLatencyMs = networkLatencyWindow_.median();
    stats_.encodeMs = encodeWindow_.median();
    stats_.transferMs = transferWindow_.median();
    stats_.receiverMs = receiverWindow_.median();
    stats_.rttMs = minimumRtt < 0 ? std::nullopt : std::optional<double>(minimumRtt);
    stats_.jitterMs = jitter_.jitterMs();
    stats_.isClockSynchronized = clock_.isSynchronized();
    stats_.bridgeCount = tiers_.bridgeCount();
    stats_.bridgedMs = tiers_.bridgedMs(time);
    stats_.isBridging = tiers_.isBridging();
    stats_.framesReceived = framesReceived_;
    stats_.framesDecoded = framesDecoded_;
    stats_.decodeErrors = decodeErrors_;
    stats_.keyframeRequests = keyframeRequests_;
    stats_.framesLost = clampToInt(sums.lost);
    stats_.framesDropped = clampToInt(sums.dropped);
    stats_.framesLate = clampToInt(sums.late);
    stats_.framesSkippedBySender = clampToInt(sums.skippedBySender + framesSkippedForCatchUp_);
}

// MARK: - Frame path

void ReceiverSession::handleVideoFrame(EncodedVideoFrame frame, uint64_t arrival) {
    if (ended_ || (frameFilter_ && !frameFilter_(frame))) {
        return;
    }
    const uint8_t tier = frame.tier;
    LatencyTrace::mark(LatencyStage::received, tier, frame.captureTime, arrival);
    if (!tiers_.arrive(tier, arrival).accepted) {
        return;
    }
    lastArrival_[tier] = arrival;
    framesReceived_ += 1;
    const auto bytes = static_cast<int64_t>(frame.dataByteCount());
    totalBytes_ += bytes;
    bytesMeter_.record(clampToInt(bytes), arrival);

    if (tiers_.displayTier() == tier) {
        jitter_.update(frame.encodeDoneTime, arrival);
        if (auto network = latencyMilliseconds(frame.captureTime, arrival)) {
            networkLatencyWindow_.add(*network);
        }
        if (frame.captureTime <= frame.encodeDoneTime) {
            encodeWindow_.add(static_cast<double>(frame.encodeDoneTime - frame.captureTime) / 1e6);
        }
        if (auto transfer = latencyMilliseconds(frame.encodeDoneTime, arrival)) {
            transferWindow_.add(*transfer);
        }
        std::lock_guard lock(statsMutex_);
        stats_.senderTargetKbps = clampToInt(frame.targetBitrateKbps);
    }

    auto [found, created] = orderers_.try_emplace(tier, waitTimeMs_);
    FrameOrderer& orderer = found->second;
    if (created) {
        orderer.setInOrderDelivery(engine_ && engine_->deliversInOrder());
    }
    const bool refresh = frame.isRefresh();
    if (refresh) {
        ViewerLog::player().debug("Stufe {} Refresh #{}{} auf #{}, Kette {}, wartet: {}", tier,
                                  frame.frameNumber, frame.isDisposable() ? " (weglassbar)" : "",
                                  frame.referenceFrameNumber, chainText(orderer),
                                  orderer.waitingForKeyframe());
    }
    auto actions = orderer.ingest(std::move(frame), arrival);
    if (refresh) {
        ViewerLog::player().debug("  danach Kette {}, wartet: {}", chainText(orderer),
                                  orderer.waitingForKeyframe());
    }
    handleOrdererActions(std::move(actions), tier, arrival);
}

void ReceiverSession::handleOrdererActions(std::vector<FrameOrderer::Action> actions, uint8_t tier,
                                           uint64_t time) {
    size_t lastDelivery = actions.size();
    for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i].isDelivery()) {
            lastDelivery = i;
        }
    }
    for (size_t i = 0; i < actions.size() && !ended_; ++i) {
        auto& action = actions[i];
        if (action.isDelivery()) {
            // Catching up: a frame nothing refers to is not worth decoding when a
            // newer one is right behind.
            if (i < lastDelivery && action.frame().isDisposable()) {
                framesSkippedForCatchUp_ += 1;
                continue;
            }
            if (!decoder(tier).decode(action.frame(), time)) {
                // The rest of this list continues the chain the decoder just broke off.
                int64_t refused = 0;
                for (size_t j = i; j < actions.size(); ++j) {
                    refused += actions[j].isDelivery() ? 1 : 0;
                }
                handleDecoderBacklog(tier, refused, time);
                return;
            }
        } else {
            ViewerLog::player().debug(
                "Stufe {}: Keyframe/Refresh nötig ({}), unterwegs: "
                "{}, Wartezeit {} ms",
                tier, json::rawString(action.reason()), engine_ ? engine_->framesInFlight() : -1,
                whole(waitTimeMs_));
            tiers_.restartWarmUp(tier);
            keyframeRequests_ += 1;
            // The sender refreshes from the newest frame it knows we hold: tell it now rather than at the
            // next tick, so that the refresh need not reach back further than the loss itself.
            if (action.reason() == KeyframeRequestMessage::Reason::frameLoss) {
                if (auto orderer = orderers_.find(tier); orderer != orderers_.end()) {
                    acknowledgeReferences(tier, orderer->second);
                }
            }
            send(KeyframeRequestMessage{action.reason(), tier});
        }
    }
}

VideoDecoder& ReceiverSession::decoder(uint8_t tier) {
    DecoderSlot& slot = decoders_[tier];
    if (!slot.decoder) {
        slot.serial = nextDecoderSerial_++;
        // Runs on the decoder's worker: hop to the session queue without taking
        // hold of the session there.
        slot.decoder = std::make_unique<VideoDecoder>(
            [weak = weak_from_this(), queue = queue_, tier,
             serial = slot.serial](VideoDecoder::Result result) {
                queue->async([weak, tier, serial, result = std::move(result)]() mutable {
                    if (auto self = weak.lock()) {
                        self->handleDecoderResult(tier, serial, std::move(result));
                    }
                });
            },
            decoderWorker_);
    }
    return *slot.decoder;
}

void ReceiverSession::handleDecoderResult(uint8_t tier, uint64_t serial, VideoDecoder::Result result) {
    auto slot = decoders_.find(tier);
    if (ended_ || slot == decoders_.end() || slot->second.serial != serial) {
        return;
    }
    if (auto* frame = std::get_if<DecodedFrame>(&result)) {
        handleDecodedFrame(tier, std::move(*frame));
    } else {
        handleDecoderError(tier, std::get<DecoderError>(result));
    }
}

void ReceiverSession::handleDecodedFrame(uint8_t tier, DecodedFrame decoded) {
    const uint64_t time = now();
    const FrameTiming& timing = decoded.frame;
    LatencyTrace::mark(LatencyStage::decoded, tier, timing.captureTime);
    const auto latency = latencyMilliseconds(timing.captureTime, time);

    DisplayTierSelector::DisplayFacts facts;
    facts.framesPerSecond = fpsMeter_.rate(time);
    facts.latencyMedianMs = latencyWindow_.median();
    {
        std::lock_guard lock(statsMutex_);
        facts.dimensions = stats_.dimensions;
    }
    auto routing = tiers_.route(
        {tier, timing.captureTime, latency, timing.dimensions.width, timing.dimensions.height}, facts, time);
    if (routing.switched) {
        applyTierSwitch(*routing.switched);
    }
    for (auto& message : routing.messages) {
        send(std::move(message));
    }
    if (!routing.show) {
        return;
    }

    schedulePresentation(decoded.pixelBuffer, timing.captureTime, latency);
    if (routing.gapMs) {
        longestGapMs_ = std::max(longestGapMs_, *routing.gapMs);
        if (*routing.gapMs > 150) {
            ViewerLog::player().info("Bildpause {} ms vor Frame {} (Stufe {})", whole(*routing.gapMs),
                                     timing.frameNumber, tier);
        }
    }
    framesDecoded_ += 1;
    fpsMeter_.record(1, time);
    if (latency) {
        latencyWindow_.add(*latency);
    }
    if (time >= timing.arrivalTime) {
        receiverWindow_.add(static_cast<double>(time - timing.arrivalTime) / 1e6);
    }
    {
        std::lock_guard lock(statsMutex_);
        stats_.codec = timing.codec;
        stats_.dimensions = timing.dimensions;
        stats_.isTestPattern = timing.isTestPattern;
    }
    if (!hasShownFrame_) {
        hasShownFrame_ = true;
        if (protocolAtLeast(3)) {
            send(TierReadyMessage{tier, true});
        }
        if (eventHandler_) {
            eventHandler_(FirstFrame{});
        }
    }
}

void ReceiverSession::handleDecoderError(uint8_t tier, const DecoderError& error) {
    decodeErrors_ += 1;
    if (const auto count = decoderErrorLog_.count(now())) {
        ViewerLog::decoder().error("Decoder-Fehler (Stufe {}): {} ({} seit der letzten Meldung)", tier,
                                   error.text(), *count);
    }
    tiers_.restartWarmUp(tier);
    auto orderer = orderers_.find(tier);
    if (orderer == orderers_.end()) {
        return;
    }
    orderer->second.reset();
    const uint64_t time = now();
    handleOrdererActions(orderer->second.poll(time, false), tier, time);
}

// The tier's decoder has fallen behind and refused frames: the orderer then waits for a keyframe (dropping
// what it holds and what comes until then) and the sender is asked for one, once; the orderer repeats the
// request as it does after a loss when none comes.
void ReceiverSession::handleDecoderBacklog(uint8_t tier, int64_t refused, uint64_t time) {
    ViewerLog::decoder().info("Decoder kommt nicht nach (Stufe {}): verwirft bis zum nächsten Keyframe",
                              tier);
    dropToNextKeyframe(tier, refused, time);
}

void ReceiverSession::dropToNextKeyframe(uint8_t tier, int64_t refused, uint64_t time) {
    tiers_.restartWarmUp(tier);
    if (auto orderer = orderers_.find(tier); orderer != orderers_.end()) {
        orderer->second.abandonChain(refused, time);
    }
    keyframeRequests_ += 1;
    send(KeyframeRequestMessage{KeyframeRequestMessage::Reason::decoderError, tier});
}

void ReceiverSession::applyTierSwitch(const DisplayTierSelector::TierSwitch& change) {
    if (change.retiresOld && change.from) {
        if (auto orderer = orderers_.find(*change.from); orderer != orderers_.end()) {
            orderer->second.reset();
        }
        if (auto slot = decoders_.find(*change.from); slot != decoders_.end()) {
            slot->second.decoder->invalidate();
            decoders_.erase(slot);
        }
    }
    resetMeasurementWindows();
}

void ReceiverSession::resetMeasurementWindows() {
    latencyWindow_ = SampleWindow(measurementSamples);
    networkLatencyWindow_ = SampleWindow(measurementSamples);
    encodeWindow_ = SampleWindow(measurementSamples);
    transferWindow_ = SampleWindow(measurementSamples);
    receiverWindow_ = SampleWindow(measurementSamples);
}

void ReceiverSession::schedulePresentation(PixelBuffer picture, uint64_t captureTime,
                                           std::optional<double> latencyMs) {
    std::weak_ptr<ReceiverSession> weak = weak_from_this();
    const double delayMs = PlayoutQueue::delayMs(playoutTargetMs_, latencyMs);
    PlayoutQueue::Released released;  // its timers are cancelled once the lock is let go
    std::lock_guard lock(presentationMutex_);
    if (presentation_.ended) {
        return;
    }
    PlayoutQueue::Picture shown{std::move(picture), captureTime};
    if (delayMs == 0) {
        released = presentation_.playout.showNow(std::move(shown));
    } else {
        // Held back to the playout target. The timer is armed under the lock, so that it finds its picture
        // among the waiting ones even when it fires at once.
        const uint64_t id = presentation_.nextPictureID++;
        const auto delay = std::chrono::nanoseconds(static_cast<int64_t>(delayMs * 1e6));
        auto timer = scheduler_->after(presentQueue_, delay, [weak, id] {
            if (auto self = weak.lock()) {
                self->presentWaiting(id);
            }
        });
        released = presentation_.playout.hold(id, std::move(shown), std::move(timer));
    }
    if (!released.pictures.empty()) {
        // Queued under the lock, so that a timer firing after this presents its newer pictures after these
        // (one already waiting for the lock goes first, and present() then passes over these older ones).
        presentQueue_->async([weak, pictures = std::move(released.pictures)] {
            if (auto self = weak.lock()) {
                for (const auto& picture : pictures) {
                    self->present(picture.buffer, picture.captureTime);
                }
            }
        });
    }
}

void ReceiverSession::presentWaiting(uint64_t id) {
    PlayoutQueue::Released released;
    {
        std::lock_guard lock(presentationMutex_);
        released = presentation_.playout.fired(id);
    }
    for (const auto& picture : released.pictures) {
        present(picture.buffer, picture.captureTime);
    }
}

void ReceiverSession::present(const PixelBuffer& picture, uint64_t captureTime) {
    const uint64_t time = now();
    {
        std::lock_guard lock(presentationMutex_);
        Presentation& state = presentation_;
        if (state.ended || captureTime <= state.lastCaptureTime) {
            return;
        }
        if (state.lastCaptureTime != 0 && state.lastShownAt != 0) {
            state.captureIntervals.push_back(static_cast<double>(captureTime - state.lastCaptureTime) / 1e6);
            state.displayIntervals.push_back(MonotonicClock::milliseconds(state.lastShownAt, time));
        }
        state.lastCaptureTime = captureTime;
        state.lastShownAt = time;
    }
    if (renderer_) {
        renderer_->enqueue(picture);
    }
    frameOutput(picture);
    LatencyTrace::mark(LatencyStage::presented, LatencyTrace::anyTier, captureTime);
}

std::optional<double> ReceiverSession::latencyMilliseconds(uint64_t senderTime, uint64_t time) const {
    auto latency = clock_.latencyMilliseconds(senderTime, time);
    if (latency && !isPlausibleLatency(*latency)) {
        return std::nullopt;
    }
    return latency;
}

void ReceiverSession::recordEngineDecodedFrame(uint64_t shownAt, std::optional<uint64_t> captureTime,
                                               bool fromTimecode, std::optional<VideoCodec> codec,
                                               VideoDimensions dimensions) {
    if (ended_) {
        return;
    }
    framesReceived_ += 1;
    framesDecoded_ += 1;
    fpsMeter_.record(1, shownAt);
    if (captureTime) {
        if (auto latency = latencyMilliseconds(*captureTime, shownAt)) {
            latencyWindow_.add(*latency);
        }
    }
    {
        std::lock_guard lock(statsMutex_);
        if (codec) {
            stats_.codec = codec;
        }
        if (fromTimecode) {
            stats_.isTestPattern = true;
        }
        stats_.dimensions = dimensions;
    }
    if (!hasShownFrame_) {
        hasShownFrame_ = true;
        if (eventHandler_) {
            eventHandler_(FirstFrame{});
        }
    }
}

}  // namespace kelvora
