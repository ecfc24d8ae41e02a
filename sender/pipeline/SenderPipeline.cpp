#include "sender/pipeline/SenderPipeline.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "core/ControlMessage.h"
#include "core/LatencyTrace.h"
#include "core/Log.h"
#include "core/ParameterSets.h"
#include "core/PeerText.h"
#include "core/TimerSource.h"
#include "platform/ComputerName.h"
#include "platform/UserDefaults.h"
#include "platform/Utf8.h"
#include "sender/pipeline/SenderStatusRows.h"
#include "sender/server/NativeQUICEngine.h"
#include "sender/server/NativeTCPEngine.h"
#include "sender/server/SaturatingMath.h"
#include "sender/server/SenderServer.h"
#include "sender/server/SenderSession.h"
#include "sender/server/SimpleH264Streamer.h"

namespace kelvora {

namespace {

constexpr auto tickInterval = std::chrono::milliseconds(500);
constexpr auto sourceRetryDelay = std::chrono::seconds(2);
constexpr double noSignalAfterMs = 2000;
constexpr double silentRestartAfterMs = 4000;
constexpr double blackReportedAfterMs = 2000;
constexpr double initialBlackHoldMs = 3000;
constexpr double longestBlackHoldMs = 60000;
constexpr int smallestAdaptedWidth = 160;
constexpr int smallestAdaptedHeight = 90;

std::string trimmed(const std::string& text) {
    const char* blank = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blank);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

// The milliseconds from `from` to `now`, where `from` was taken on this queue too (or is 0 for never).
double msSince(uint64_t from, uint64_t now) {
    return elapsedMilliseconds(from, now);
}

// Two engines of one kind are one offer on the network.
void addKind(std::vector<EngineKind>& kinds, const EngineKind& kind) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
        kinds.push_back(kind);
    }
}

SenderPipeline::Options withDefaults(SenderPipeline::Options options) {
    if (!options.clock) {
        options.clock = MonotonicClock::system();
    }
    if (!options.sources) {
        options.sources = SourceFactory::system();
    }
    return options;
}

}  // namespace

std::shared_ptr<SenderPipeline> SenderPipeline::create(SenderSettings settings, std::string senderID) {
    return create(std::move(settings), std::move(senderID), {}, Options{});
}

std::shared_ptr<SenderPipeline> SenderPipeline::create(
    SenderSettings settings, std::string senderID, std::vector<std::shared_ptr<StreamingEngine>> extraEngines,
    Options options) {
    std::shared_ptr<SenderPipeline> pipeline(new SenderPipeline(std::move(settings), std::move(senderID),
                                                                std::move(extraEngines), std::move(options)));
    pipeline->wireServer();
    return pipeline;
}

SenderPipeline::SenderPipeline(SenderSettings settings, std::string senderID,
                               std::vector<std::shared_ptr<StreamingEngine>> extraEngines, Options options)
    : options_(withDefaults(std::move(options))),
      senderID_(std::move(senderID)),
      extraEngines_(std::move(extraEngines)),
      settings_(settings.withValidNames()) {
    setVideoDimensions(settings_.resolution);
    videoFrameRate_ = settings_.frameRate;
    allEngines_.push_back(std::make_shared<NativeTCPEngine>());
    // QUIC is always on offer to the settings, also next to an extra engine of the same kind (a viewer that
    // asks for "quic" gets the first); its identity is only loaded (or made) when the engine starts.
    allEngines_.push_back(std::make_shared<NativeQUICEngine>(
        QUICIdentityStore(options_.applicationFolder.empty() ? QUICIdentityStore::defaultDirectory()
                                                             : options_.applicationFolder)));
    allEngines_.insert(allEngines_.end(), extraEngines_.begin(), extraEngines_.end());

    const bool hevcHardware = VideoEncoder::capabilities().hevcHardware;
    status_.hevcHardwareAvailable = hevcHardware;
    effectiveCodec_ =
        settings_.preferredCodec == VideoCodec::hevc && hevcHardware ? VideoCodec::hevc : VideoCodec::h264;
    status_.codec = effectiveCodec_;
    status_.dimensions = videoDimensions_;
    status_.configuredFrameRate = videoFrameRate_;

    const auto engines = enabledEngines(settings_);
    ServiceAnnouncement announcement;
    announcement.senderID = senderID_;
    announcement.senderName = displayName(settings_);
    announcement.protocolVersion = HelloMessage::currentProtocolVersion;
    for (const auto& engine : engines) {
        addKind(announcement.engines, engine->kind());
    }
    announcement.codec = settings_.preferredCodec;
    announcement.dimensions = settings_.resolution;
    announcement.frameRate = settings_.frameRate;
    announcement.state = StreamInfoMessage::State::noSource;
    StreamInfoMessage streamInfo;
    streamInfo.state = StreamInfoMessage::State::noSource;
    streamInfo.codec = settings_.preferredCodec;
    streamInfo.dimensions = settings_.resolution;
    streamInfo.frameRate = settings_.frameRate;
    SenderServer::Options serverOptions;
    serverOptions.announce = options_.announce;
    // The sessions stamp their tier switches and rate estimates with the server's clock, and the pipeline
    // measures them with its own: one clock for both.
    serverOptions.timers = TimerSource::system(options_.clock);
    server_ = SenderServer::create(engines, announcement, streamInfo, settings_.controlPort, serverOptions);
    queue_ = server_->queue();
}

SenderPipeline::~SenderPipeline() {
    tick_.cancel();
    sourceRetry_.cancel();
    if (source_) {
        source_->stop();
    }
}

void SenderPipeline::wireServer() {
    server_->callbacks = serverCallbacks(weak_from_this());
}

SenderServerCallbacks SenderPipeline::serverCallbacks(const std::weak_ptr<SenderPipeline>& pipeline) {
    SenderServerCallbacks callbacks =
        SenderServerCallbacks::weaklyBound(std::weak_ptr<SenderServerDelegate>(pipeline));
    // A viewer welcomed while the pipeline is going away still learns what it may tune: the values of
    // default settings, with no tier running.
    StreamTuning fallback = SenderSettings().streamTuning();
    fallback.tiers.clear();
    callbacks.tuningProvider = [pipeline, fallback]() -> std::optional<StreamTuning> {
        if (auto self = pipeline.lock()) {
            return self->currentTuning();
        }
        return fallback;
    };
    return callbacks;
}

std::vector<std::shared_ptr<SenderSession>> SenderPipeline::currentSessions() const {
    // A copy: what the pipeline does with a session may end up changing the server's map.
    std::vector<std::shared_ptr<SenderSession>> list;
    for (const auto& [token, session] : server_->sessions()) {
        list.push_back(session);
    }
    return list;
}

// --- public operations ---

void SenderPipeline::start() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->startOnQueue();
        }
    });
}

void SenderPipeline::stop() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stopOnQueue();
        }
    });
}

void SenderPipeline::updateSettings(SenderSettings settings) {
    queue_->async([weak = weak_from_this(), settings = std::move(settings)]() mutable {
        if (auto self = weak.lock()) {
            self->applySettings(std::move(settings));
        }
    });
}

void SenderPipeline::setPaused(bool paused) {
    queue_->async([weak = weak_from_this(), paused] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->isPaused_ = paused;
        if (paused) {
            self->stopSource();
        }
        self->startSource();
    });
}

void SenderPipeline::reconnectSource(std::string reason) {
    queue_->async([weak = weak_from_this(), reason = std::move(reason)] {
        auto self = weak.lock();
        if (!self || !self->source_) {
            return;
        }
        Log::capture().info("Quelle wird neu verbunden ({})", reason);
        self->stopSource();
        self->startSource();
    });
}

void SenderPipeline::updateDevices(std::vector<CaptureDeviceInfo> devices) {
    queue_->async([weak = weak_from_this(), devices = std::move(devices)]() mutable {
        if (auto self = weak.lock()) {
            self->applyDevices(std::move(devices));
        }
    });
}

void SenderPipeline::disconnectClient(std::string token) {
    server_->disconnect(std::move(token));
}

void SenderPipeline::setSimpleStreamer(std::shared_ptr<SimpleH264Streamer> streamer) {
    std::shared_ptr<SimpleH264Streamer> previous;
    std::lock_guard lock(streamerLock_);
    previous = std::exchange(simpleStreamer_, std::move(streamer));
}

void SenderPipeline::setStatusHandler(std::function<void(SenderStatus)> handler) {
    statusHandler_.set(std::move(handler));
}

void SenderPipeline::setPreviewHandler(std::function<void(SourceFrame)> handler) {
    previewHandler_.set(std::move(handler));
}

void SenderPipeline::setEncodedFrameHandler(std::function<void(EncodedVideoFrame)> handler) {
    encodedFrameHandler_.set(std::move(handler));
}

void SenderPipeline::setTuningRequestHandler(std::function<void(StreamTuning)> handler) {
    tuningRequestHandler_.set(std::move(handler));
}

SenderSettings SenderPipeline::settings() const {
    std::lock_guard lock(settingsLock_);
    return settings_;
}

std::string SenderPipeline::displayName(const SenderSettings& settings) {
    // The name becomes the DNS-SD instance name, the announcement, every welcome and log lines, whatever
    // path it came by (a hand-written settings file too): it is cleaned as viewers clean the names they are
    // given, so a line feed or tab reaches none of them raw and ill-formed UTF-8 cannot leave a viewer
    // without a reply. Trimmed before the cut, so blanks around the name take no room in it, and after it,
    // where the cut ends on a blank.
    std::string name = trimmed(peerText(trimmed(settings.senderName)));
    if (!name.empty()) {
        return name;
    }
    return computerName();
}

StreamInfoMessage::State SenderPipeline::announcedState(const SenderStatus::State& state) {
    using Kind = SenderStatus::State::Kind;
    switch (state.kind()) {
        case Kind::starting:
        case Kind::noSignal:
            return StreamInfoMessage::State::starting;
        case Kind::live:
            return StreamInfoMessage::State::live;
        case Kind::paused:
            return StreamInfoMessage::State::paused;
        case Kind::waitingForSource:
        case Kind::error:
            break;
    }
    return StreamInfoMessage::State::noSource;
}

// --- lifecycle and sources ---

void SenderPipeline::startOnQueue() {
    if (isStarted_) {
        return;
    }
    isStarted_ = true;
    // Settings changed before the first start only stored their engine list; the server still holds the
    // one it was made with.
    if (const auto engines = enabledEngines(settings_); engines != server_->engines()) {
        server_->restart(engines, currentAnnouncement(engines));
    }
    server_->start();
    tickCount_ = 0;
    tick_ = queue_->every(
        tickInterval,
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->tick();
            }
        },
        tickInterval);
    startSource();
}

void SenderPipeline::stopOnQueue() {
    isStarted_ = false;
    tick_.cancel();
    tick_ = Timer();
    stopSource();
    server_->stop();
}

std::optional<std::string> SenderPipeline::selectedSourceID() const {
    return SourceSelection::selectedSourceID(
        settings_, isPaused_, availableDevices_,
        [this](const std::filesystem::path& path) { return options_.sources->fileExists(path); });
}

void SenderPipeline::startSource() {
    if (!isStarted_) {
        return;
    }
    const std::optional<std::string> id = selectedSourceID();
    if (source_ && id && *id == source_->identifier()) {
        return;
    }
    stopSource();

    const auto waitForSource = [this](SenderStatus::State state) {
        // Encoders that ran for the last source would stay in the status as tiers at 0 fps.
        encoders_.clear();
        status_.state = std::move(state);
        status_.sourceName.clear();
        status_.sourceID.reset();
        status_.isTestPattern = false;
        pushAnnouncement();
        publishStatus();
    };
    if (!id) {
        waitForSource(isPaused_ ? SenderStatus::State::paused() : SenderStatus::State::waitingForSource());
        return;
    }

    std::shared_ptr<VideoSource> made;
    SourceFactory::Kind kind = SourceFactory::Kind::captureDevice;
    SourceFactory& sources = *options_.sources;
    if (*id == SourceSelection::testPatternID) {
        kind = SourceFactory::Kind::testPattern;
        made = sources.makeTestPattern(settings_.resolution, settings_.frameRate);
    } else if (id->starts_with(SourceSelection::videoFilePrefix) && settings_.videoFilePath) {
        kind = SourceFactory::Kind::videoFile;
        made = sources.makeVideoFile(*settings_.videoFilePath);
    } else if (id->starts_with(SourceSelection::ndiPrefix)) {
        kind = SourceFactory::Kind::ndi;
        made = sources.makeNDI(id->substr(std::string_view(SourceSelection::ndiPrefix).size()));
    } else {
        std::optional<VideoDimensions> dimensions;
        if (!settings_.autoResolution) {
            dimensions = settings_.resolution;
        }
        std::optional<int> frameRate;
        if (!settings_.autoFrameRate) {
            frameRate = settings_.frameRate;
        }
        made = sources.makeCaptureDevice(*id, dimensions, frameRate);
    }
    if (!made) {
        // A device the system no longer knows (or a kind this build cannot open): nothing is sent, so the
        // network must not keep hearing the name of the source that ran before.
        Log::capture().info("Quelle nicht verfügbar: {}", *id);
        waitForSource(SenderStatus::State::waitingForSource());
        return;
    }

    sourceGeneration_ += 1;
    source_ = made;
    sourceKind_ = kind;
    status_.state = SenderStatus::State::starting();
    // A source's name may come from a file, a device or the network; viewers get it as JSON text.
    status_.sourceName = validUtf8(made->name());
    status_.sourceID = made->identifier();
    status_.isTestPattern = *id == SourceSelection::testPatternID;
    intake_.setLastFrameTime(options_.clock());

    updateTierEncoders();
    pushAnnouncement();
    publishStatus();
    Log::capture().info("Starte Quelle: {}", made->name());

    const uint64_t generation = sourceGeneration_;
    std::weak_ptr<SenderPipeline> weak = weak_from_this();
    made->start(
        [weak](SourceFrame frame) {
            if (auto self = weak.lock()) {
                self->handleFrame(std::move(frame));
            }
        },
        [weak, queue = queue_, generation](const SourceError& error) {
            queue->async([weak, generation, description = error.description()] {
                if (auto self = weak.lock()) {
                    self->handleSourceFailure(generation, description);
                }
            });
        });
}

void SenderPipeline::stopSource() {
    if (source_) {
        source_->stop();
        source_.reset();
    }
    sourceGeneration_ += 1;
    // Black describes the pictures of a running source; without one there is nothing to call black.
    intake_.setBlackSince(0);
    status_.sourceIsBlack = false;
    encoders_.resetSessions();
}

std::vector<std::shared_ptr<StreamingEngine>> SenderPipeline::enabledEngines(
    const SenderSettings& settings) const {
    std::vector<std::shared_ptr<StreamingEngine>> enabled;
    for (const auto& engine : allEngines_) {
        const EngineKind kind = engine->kind();
        if (kind == EngineKind::tcp() ||
            std::find(settings.enabledEngines.begin(), settings.enabledEngines.end(), kind.rawValue) !=
                settings.enabledEngines.end()) {
            enabled.push_back(engine);
        }
    }
    return enabled;
}

void SenderPipeline::applySettings(SenderSettings settings) {
    const SenderSettings old = settings_;
    {
        std::lock_guard lock(settingsLock_);
        settings_ = settings.withValidNames();
    }
    const SenderSettings& now = settings_;
    if (!now.autoResolution) {
        setVideoDimensions(now.resolution);
    } else if (!old.autoResolution) {
        // Following the source again: a source whose size did not change would never report it anew, so
        // the size it delivers now is taken over at once.
        if (auto observed = intake_.observedDimensions(); observed &&
                                                          observed->width >= smallestAdaptedWidth &&
                                                          observed->height >= smallestAdaptedHeight) {
            setVideoDimensions(*observed);
        }
    }
    if (!now.autoFrameRate) {
        videoFrameRate_ = now.frameRate;
    }
    if (!isStarted_) {
        return;
    }

    if (now.enabledEngines != old.enabledEngines || now.senderName != old.senderName) {
        const auto engines = enabledEngines(now);
        server_->restart(engines, currentAnnouncement(engines));
    }
    const bool sourceChanged =
        now.useTestPattern != old.useTestPattern || now.useVideoFile != old.useVideoFile ||
        now.videoFilePath != old.videoFilePath || now.preferredDeviceID != old.preferredDeviceID ||
        now.resolution != old.resolution || now.frameRate != old.frameRate ||
        now.autoResolution != old.autoResolution || now.autoFrameRate != old.autoFrameRate ||
        now.autoStart != old.autoStart;
    if (sourceChanged) {
        stopSource();
        startSource();
    }
    const int maximum = effectiveMainBitrateKbps();
    for (const auto& session : currentSessions()) {
        session->rateController.setBounds(rateFloorKbps, maximum);
    }
    updateTierEncoders();
    pushAnnouncement();
    if (now.streamTuning() != old.streamTuning()) {
        server_->broadcastTuning(currentTuning());
    }
}

void SenderPipeline::applyDevices(std::vector<CaptureDeviceInfo> devices) {
    availableDevices_ = std::move(devices);
    if (source_ && sourceKind_ == SourceFactory::Kind::captureDevice) {
        const std::string id = source_->identifier();
        const bool listed = std::any_of(availableDevices_.begin(), availableDevices_.end(),
                                        [&](const CaptureDeviceInfo& device) { return device.id == id; });
        if (!listed) {
            if (!isAutoSourceRecoveryEnabled() && options_.sources->isDeviceConnected(id)) {
                Log::capture().info(
                    "Aktives Gerät fehlt in der Geräteliste, ist aber verbunden – Quelle läuft weiter");
                return;
            }
            Log::capture().info("Aktives Gerät wurde getrennt");
            stopSource();
        }
    }
    startSource();
}

void SenderPipeline::refreshTiers() {
    const auto sessions = currentSessions();
    bool hevc = settings_.preferredCodec == VideoCodec::hevc && VideoEncoder::capabilities().hevcHardware;
    for (const auto& session : sessions) {
        const auto& codecs = session->hello.supportedCodecs;
        hevc = hevc && std::find(codecs.begin(), codecs.end(), VideoCodec::hevc) != codecs.end();
    }
    const VideoCodec wanted = hevc ? VideoCodec::hevc : VideoCodec::h264;
    if (wanted != effectiveCodec_) {
        effectiveCodec_ = wanted;
        updateTierEncoders();
        pushAnnouncement();
    }
}

// --- frame intake ---

void SenderPipeline::handleFrame(SourceFrame frame) {
    const uint64_t start = options_.clock();
    intake_.noteArrival(start);
    LatencyTrace::mark(LatencyStage::intake, LatencyTrace::anyTier, frame.captureTime);

    const VideoDimensions size = frame.dimensions();
    if (intake_.observeSize(size)) {
        queue_->async([weak = weak_from_this(), size] {
            if (auto self = weak.lock()) {
                self->adaptToSourceDimensions(size.width, size.height);
            }
        });
    }
    intake_.sampleBlack(frame.pixelBuffer, frame.captureTime);
    intake_.countFrame(frame.captureTime);
    previewHandler_(frame);

    std::shared_ptr<SimpleH264Streamer> streamer;
    {
        std::lock_guard lock(streamerLock_);
        streamer = simpleStreamer_;
    }
    if (streamer) {
        streamer->encode(frame.pixelBuffer, frame.captureTime);
    }

    const std::vector<std::shared_ptr<VideoEncoder>> encoders = encoders_.list();
    const uint64_t handOffStart = options_.clock();
    PixelBuffer picture = frame.pixelBuffer;
    if (!encoders.empty()) {
        try {
            picture = nv12Intake_.convert(frame.pixelBuffer, fanOut_);
        } catch (const PixelBufferError& error) {
            // The encoders convert it themselves, each on its own.
            Log::capture().debug("Bild nicht vorab nach NV12 gewandelt: {}", error.what());
        }
    }
    fanOut_.run(encoders.size(), [&](size_t index) {
        encoders[index]->encode(picture, frame.captureTime, frame.isTestPattern);
    });
    intake_.addHandOff(elapsedMilliseconds(handOffStart, options_.clock()));

    queue_->async([weak = weak_from_this(), frame] {
        if (auto self = weak.lock()) {
            self->passThroughFrame(frame);
        }
    });

    const uint64_t end = options_.clock();
    if (auto report = intake_.finishFrame(elapsedMilliseconds(start, end), end)) {
        Log::capture().debug(
            "Bildannahme: {} Bilder/2 s, Ø {:.1f} ms, max {:.1f} ms – davon Encoder-Übergabe Ø {:.1f} ms, "
            "max "
            "{:.1f} ms",
            report->count, report->averageMs, report->maximumMs, report->averageHandOffMs,
            report->maximumHandOffMs);
    }
}

void SenderPipeline::adaptToSourceDimensions(int width, int height) {
    const VideoDimensions size{width, height};
    if (!settings_.autoResolution || width < smallestAdaptedWidth || height < smallestAdaptedHeight ||
        !setVideoDimensions(size)) {
        return;
    }
    Log::capture().info("Quelle liefert {} – Encoder passen sich an", size.description());
    if (videoDimensions_ != size) {
        Log::capture().info("{} ist größer, als Empfänger annehmen – gesendet wird {}", size.description(),
                            videoDimensions_.description());
    }
    updateTierEncoders();
    pushAnnouncement();
}

bool SenderPipeline::setVideoDimensions(VideoDimensions size) {
    const VideoDimensions sent = PictureSizeLimit::fitting(size);
    if (sent == videoDimensions_) {
        return false;
    }
    videoDimensions_ = sent;
    return true;
}

void SenderPipeline::passThroughFrame(const SourceFrame& frame) {
    const auto sessions = currentSessions();
    for (const auto& session : sessions) {
        const auto& sink = session->sink;
        if (sink && sink->isConnected() && sink->isPassthrough()) {
            sink->passThrough(frame.pixelBuffer, frame.captureTime, frame.isTestPattern);
        }
    }
}

// --- watchdog ---

bool SenderPipeline::isAutoSourceRecoveryEnabled() const {
    if (options_.autoSourceRecovery) {
        return options_.autoSourceRecovery();
    }
    return UserDefaults::standard().boolValue("AutoSourceRecovery").value_or(false);
}

void SenderPipeline::adaptToSourceFrameRate() {
    if (!settings_.autoFrameRate || !source_) {
        return;
    }
    const double measured = intake_.frameRate(options_.clock());
    if (auto rate = frameRateFollower_.observe(measured, videoFrameRate_)) {
        Log::capture().info("Quelle liefert {} fps – Encoder passen sich an", *rate);
        videoFrameRate_ = *rate;
        updateTierEncoders();
        pushAnnouncement();
    }
}

void SenderPipeline::checkSourceHealth() {
    adaptToSourceFrameRate();
    if (!source_) {
        status_.sourceIsBlack = false;
        return;
    }
    const uint64_t now = options_.clock();
    const uint64_t blackSince = intake_.blackSince();
    const double blackMs = blackSince != 0 ? elapsedMilliseconds(blackSince, now) : 0;
    status_.sourceIsBlack = blackMs > blackReportedAfterMs;
    if (blackSince == 0) {
        blackRestartHoldMs_ = initialBlackHoldMs;
    }
    const bool recovery = isAutoSourceRecoveryEnabled();
    if (recovery && sourceKind_ == SourceFactory::Kind::captureDevice && blackMs > blackRestartHoldMs_ &&
        (lastBlackRestart_ == 0 || msSince(lastBlackRestart_, now) > blackRestartHoldMs_)) {
        lastBlackRestart_ = now;
        blackRestartHoldMs_ = std::min(2 * blackRestartHoldMs_, longestBlackHoldMs);
        Log::capture().info("Nur Schwarz von {} seit {} ms – Quelle wird neu verbunden", source_->name(),
                            int64_t(blackMs));
        stopSource();
        startSource();
        // The restarted source counts as black from now until a picture says otherwise, so the doubled
        // hold survives the restart.
        if (source_) {
            intake_.setBlackSince(now);
        }
        return;
    }
    const double sinceMs = elapsedMilliseconds(intake_.lastFrameTime(), now);
    const auto kind = status_.state.kind();
    if (sinceMs > noSignalAfterMs &&
        (kind == SenderStatus::State::Kind::starting || kind == SenderStatus::State::Kind::live)) {
        status_.state = SenderStatus::State::noSignal();
        pushAnnouncement();
    }
    if (sinceMs > silentRestartAfterMs && recovery) {
        Log::capture().info("Keine Bilder von {} – Quelle wird neu gestartet", source_->name());
        stopSource();
        startSource();
    }
}

void SenderPipeline::handleSourceFailure(uint64_t generation, const std::string& description) {
    if (generation != sourceGeneration_) {
        return;
    }
    Log::capture().error("Quelle ausgefallen: {}", description);
    status_.state = SenderStatus::State::error(description);
    lastSourceFailure_ = options_.clock();
    stopSource();
    publishStatus();
    sourceRetry_ = queue_->after(sourceRetryDelay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->startSource();
        }
    });
}

// --- status ---

void SenderPipeline::publishStatus() {
    const uint64_t now = options_.clock();
    const auto sessions = currentSessions();
    const std::map<uint8_t, std::shared_ptr<VideoEncoder>> encoders = encoders_.snapshot();
    status_.dimensions = videoDimensions_;
    status_.configuredFrameRate = videoFrameRate_;
    status_.measuredFrameRate = intake_.frameRate(now);
    status_.outputKbps = clampedInt<int>(outputMeter_.rate(now) * 8 / 1000);
    status_.codec = effectiveCodec_;

    status_.tiers = tierStatusRows(encoders, sessions, tierFrameMeters_, now);

    status_.clients.clear();
    for (const auto& session : sessions) {
        status_.clients.push_back(session->clientStatus());
    }
    std::stable_sort(
        status_.clients.begin(), status_.clients.end(),
        [](const ClientStatus& a, const ClientStatus& b) { return a.connectedSince < b.connectedSince; });

    status_.engines = engineStatusRows(server_->engines(), sessions, extraEngines_, settings_.enabledEngines);
    status_.controlPort = server_->controlPort();
    status_.networkError = server_->listenerError();
    statusHandler_(status_);
}

ServiceAnnouncement SenderPipeline::currentAnnouncement(
    const std::optional<std::vector<std::shared_ptr<StreamingEngine>>>& engines) const {
    ServiceAnnouncement announcement;
    announcement.senderID = senderID_;
    announcement.senderName = displayName(settings_);
    announcement.protocolVersion = HelloMessage::currentProtocolVersion;
    for (const auto& engine : engines ? *engines : server_->engines()) {
        if (engine->isAvailable()) {
            addKind(announcement.engines, engine->kind());
        }
    }
    announcement.codec = effectiveCodec_;
    announcement.dimensions = videoDimensions_;
    announcement.frameRate = videoFrameRate_;
    announcement.state = announcedState(status_.state);
    announcement.sourceName = status_.sourceName;
    return announcement;
}

StreamInfoMessage SenderPipeline::currentStreamInfo() const {
    StreamInfoMessage info;
    info.state = announcedState(status_.state);
    info.sourceName = status_.sourceName;
    info.codec = effectiveCodec_;
    info.dimensions = videoDimensions_;
    info.frameRate = videoFrameRate_;
    info.isTestPattern = status_.isTestPattern;
    return info;
}

void SenderPipeline::pushAnnouncement() {
    server_->updateAnnouncement(currentAnnouncement());
    server_->updateStreamInfo(currentStreamInfo());
}

}  // namespace kelvora
