#include "sender/pipeline/VideoEncoder.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/LatencyTrace.h"
#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "core/Nal.h"
#include "core/ParameterSets.h"
#include "core/SampleWindow.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "sender/pipeline/EncoderError.h"

namespace kelvora {

using Flags = EncodedVideoFrame::Flags;

// One picture on its way through the worker.
struct VideoEncoder::Job {
    std::shared_ptr<CompressionSession> session;
    uint64_t generation = 0;
    PixelBuffer picture;  // NV12 of the configured size
    bool forceKeyframe = false;
    // The acknowledged frame a refresh predicts from, and its presentation time in the session.
    std::optional<uint64_t> refreshReference;
    int64_t refreshPresentation = 0;
    EncoderConfiguration configuration;  // as the session runs it
    uint64_t captureTime = 0;
    uint64_t submitTime = 0;
    bool isTestPattern = false;
};

struct VideoEncoder::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    std::thread thread;
};

struct VideoEncoder::Core {
    Core(uint8_t tier, EncoderConfiguration wish, OutputHandler handler, Options options)
        : tier(tier),
          outputHandler(std::move(handler)),
          backend(options.backend),
          numbers(options.frameNumbers ? std::move(options.frameNumbers) : std::make_shared<FrameNumbers>()),
          makeSession(std::move(options.makeSession)),
          configuration(wish),
          effective(wish.sanitized()) {}

    const uint8_t tier;
    const OutputHandler outputHandler;
    const EncoderBackend backend;
    const std::shared_ptr<FrameNumbers> numbers;
    const SessionFactory makeSession;

    mutable std::mutex mutex;
    EncoderConfiguration configuration;  // the caller's wish, compared on changes
    EncoderConfiguration effective;      // what the encoder runs: the wish, clamped
    bool lowLatencyActive = false;
    std::shared_ptr<CompressionSession> session;
    // Counts sessions; a job of an earlier generation belongs to a detached session and produces nothing.
    uint64_t generation = 0;
    std::unique_ptr<PixelTransfer> transfer;
    std::unique_ptr<PixelBufferPool> scaledPool;
    bool forceKeyframe = true;
    uint64_t lastReferenceFrame = 0;
    std::optional<double> targetFrameRate;
    // The rate the tier runs at when nothing holds it back, below the configured one; none: that one.
    std::optional<double> frameRateLimit;
    // The rate the current session was opened at: the tier's own rate, never a lower pace.
    int sessionFrameRate = 0;
    double frameCredit = 0;
    uint64_t lastKeyframeRequest = 0;
    int pendingFrames = 0;
    SampleWindow waitWindow{60};
    SampleWindow hardwareWindow{60};
    std::optional<VideoCodec> outputCodec;
    // The sets of the current session's last keyframe whose own were readable.
    std::optional<ParameterSetCache> parameterSets;
    bool clampLogged = false;
    // Long-term references: the session can go back to a frame the viewers acknowledged.
    bool ltrActive = false;
    // Presentation time of each recent reference frame of the current chain, by frame number.
    std::map<uint64_t, int64_t> referencePresentations;
    uint64_t lastAcknowledged = 0;
    int64_t lastAcknowledgedPresentation = 0;
    uint64_t lastKeyframeNumber = 0;
    bool forceRefresh = false;
    uint64_t lastRefreshRequest = 0;
    // The speed level the last session ended at, and its picture size: the next session of that size
    // starts there.
    VideoDimensions speedDimensions;
    int speedLevel = 0;

    static constexpr size_t maximumReferencePresentations = 600;

    void resetReferencesLocked() {
        ltrActive = false;
        referencePresentations.clear();
        lastAcknowledged = 0;
        lastAcknowledgedPresentation = 0;
        forceRefresh = false;
    }

    // With the mutex held. Returns the session to let go of after unlocking.
    std::shared_ptr<CompressionSession> detachLocked() {
        if (session) {
            speedDimensions = effective.dimensions;
            speedLevel = session->speedLevel();
        }
        resetReferencesLocked();
        transfer.reset();
        scaledPool.reset();
        pendingFrames = 0;
        forceKeyframe = true;
        ++generation;
        return std::move(session);
    }

    void noteClampLocked() {
        if (effective != configuration && !clampLogged) {
            clampLogged = true;
            Log::encoder().warn(
                "Encoder-Einstellungen außerhalb des Gültigen korrigiert: {} @ {} fps, {} kbit/s, "
                "Keyframe-Abstand {} s",
                effective.dimensions.description(), effective.frameRate, effective.bitrateKbps,
                effective.keyframeInterval);
        }
    }

    // With the mutex held, on the thread of the picture that needs the session.
    void makeSessionLocked() {
        effective = configuration.sanitized();
        noteClampLocked();
        const EncoderConfiguration& c = effective;
        bool lowLatency = c.lowLatencyRateControl && !c.intraOnly &&
                          VideoEncoder::capabilities().supportsLowLatency(c.codec);
        // The session is told the tier's own rate, so that the level it signals and its references hold
        // the tier's full rate (a proxy beside a 60 frames/s source is a 30 frames/s stream). A lower pace
        // only thins out its pictures: reopening for each step of the pace would restart the stream with a
        // keyframe each time the pace rises again.
        sessionFrameRate = std::max(1, int(std::lround(tierFrameRateLocked())));
        EncoderConfiguration asked = c;
        asked.frameRate = sessionFrameRate;
        asked.bitrateKbps = sessionKbpsLocked();
        const auto open = [&](bool withLowLatency) {
            return makeSession ? makeSession(asked, withLowLatency)
                               : CompressionSession::make(asked, withLowLatency, backend);
        };
        std::unique_ptr<CompressionSession> made;
        try {
            made = open(lowLatency);
        } catch (const EncoderError&) {
            if (!lowLatency)
                throw;
            made = open(false);
        }
        lowLatencyActive = made->isLowLatencyActive();
        if (speedLevel > 0 && speedDimensions == c.dimensions)
            made->resumeSpeedLevel(speedLevel);
        if (c.temporalLayering && !c.intraOnly)
            Log::encoder().debug("Encoder-Eigenschaft BaseLayerFrameRateFraction nicht gesetzt ({})", -1);
        transfer.reset();
        scaledPool.reset();
        session = std::move(made);
        resetReferencesLocked();
        ltrActive = c.longTermReferences && !c.intraOnly && session->offersLongTermReferences();
        // Sets of an earlier session may describe another size or codec: never lend them to this one.
        parameterSets.emplace(c.codec);
        ++generation;
        forceKeyframe = true;
        Log::encoder().info("Encoder bereit: {} {} @ {} fps, {} kbit/s, Low-Latency: {}, LTR: {} ({})",
                            videoCodecDisplayName(c.codec), c.dimensions.description(), c.frameRate,
                            c.bitrateKbps, lowLatencyActive, ltrActive, session->name());
    }

    // `rate` when it lies below `ceiling`, else `ceiling`.
    static double below(const std::optional<double>& rate, double ceiling) {
        return rate && *rate > 0 && *rate < ceiling - 0.5 ? *rate : ceiling;
    }

    // With the mutex held: the rate of the tier when nothing holds it back.
    double tierFrameRateLocked() const { return below(frameRateLimit, effective.frameRate); }

    // With the mutex held: the rate pictures are encoded at after pacing.
    double pacedFrameRateLocked() const { return below(targetFrameRate, tierFrameRateLocked()); }

    // With the mutex held: the bitrate to ask of the session. Its rate control counts frames at the rate it
    // was opened at, so while pacing thins them out further each frame gets the larger share it needs for
    // the bitrate per second to hold.
    int sessionKbpsLocked() const {
        const double share = double(std::max(sessionFrameRate, 1)) / pacedFrameRateLocked();
        return int(std::clamp(std::lround(effective.bitrateKbps * share),
                              long(EncoderConfiguration::minimumBitrateKbps),
                              long(EncoderConfiguration::maximumBitrateKbps)));
    }

    // With the mutex held: asks the running session for the current bitrate, after the lock is released.
    std::function<void()> retuneLocked() {
        if (!session)
            return {};
        return [session = session, kbps = sessionKbpsLocked()] { session->requestBitrate(kbps); };
    }

    // With the mutex held: the picture letterboxed into an NV12 buffer of the configured size.
    PixelBuffer scaledLocked(const PixelBuffer& picture) {
        const int width = effective.dimensions.width;
        const int height = effective.dimensions.height;
        if (!scaledPool)
            scaledPool = std::make_unique<PixelBufferPool>(PixelFormat::nv12, width, height, 4);
        if (!transfer)
            transfer = std::make_unique<PixelTransfer>();
        PixelBuffer out = scaledPool->make();

        double scale = std::min(double(width) / picture.width(), double(height) / picture.height());
        int fitWidth = std::clamp(int(std::lround(picture.width() * scale)) & ~1, 2, width);
        int fitHeight = std::clamp(int(std::lround(picture.height() * scale)) & ~1, 2, height);
        int left = ((width - fitWidth) / 2) & ~1;
        int top = ((height - fitHeight) / 2) & ~1;
        if (fitWidth != width || fitHeight != height) {
            // Video-range black bars.
            for (int row = 0; row < out.planeHeight(0); ++row)
                std::memset(out.data(0) + size_t(row) * out.stride(0), 16, size_t(width));
            for (int row = 0; row < out.planeHeight(1); ++row)
                std::memset(out.data(1) + size_t(row) * out.stride(1), 128, size_t(out.planeWidth(1)) * 2);
        }
        PictureView target = PictureView::of(out);
        target.planes[0] += size_t(top) * out.stride(0) + left;
        target.planes[1] += size_t(top / 2) * out.stride(1) + left;
        target.width = fitWidth;
        target.height = fitHeight;
        transfer->transfer(PictureView::of(picture), target);
        return out;
    }

    // With the mutex held: whether pacing lets this picture through.
    bool paceLocked() {
        const double paced = pacedFrameRateLocked();
        if (paced >= effective.frameRate - 0.5 || forceKeyframe || forceRefresh) {
            frameCredit = 0;
            return true;
        }
        frameCredit += paced / effective.frameRate;
        if (frameCredit < 0.999999)
            return false;
        frameCredit -= 1.0;
        return true;
    }

    std::optional<Job> prepare(const PixelBuffer& picture, uint64_t captureTime, bool isTestPattern) {
        std::lock_guard lock(mutex);
        if (!paceLocked())
            return std::nullopt;
        if (pendingFrames > 2) {
            Log::encoder().debug("Encoder ausgelastet, Frame ausgelassen");
            return std::nullopt;
        }
        if (!session) {
            try {
                makeSessionLocked();
            } catch (const EncoderError& error) {
                Log::encoder().error("Encoder-Session konnte nicht erstellt werden: {}", error.what());
                return std::nullopt;
            }
        }
        Job job;
        try {
            bool fits = picture.format() == PixelFormat::nv12 &&
                        picture.width() == effective.dimensions.width &&
                        picture.height() == effective.dimensions.height;
            job.picture = fits ? picture : scaledLocked(picture);
        } catch (const PixelBufferError& error) {
            Log::encoder().debug("Bild nicht skaliert: {}", error.what());
            return std::nullopt;
        }
        job.session = session;
        job.generation = generation;
        job.forceKeyframe = std::exchange(forceKeyframe, false);
        if (job.forceKeyframe) {
            forceRefresh = false;
        } else if (std::exchange(forceRefresh, false) && ltrActive && lastAcknowledged != 0) {
            // Without an acknowledged frame a keyframe went out since the request: it repairs the loss.
            job.refreshReference = lastAcknowledged;
            job.refreshPresentation = lastAcknowledgedPresentation;
        }
        job.configuration = effective;
        job.captureTime = captureTime;
        job.isTestPattern = isTestPattern;
        ++pendingFrames;
        return job;
    }

    // On the worker thread.
    void run(Job& job) {
        {
            std::lock_guard lock(mutex);
            if (job.generation != generation)
                return;
            // A keyframe numbered since the request started a new chain; the acknowledged frame is not in it.
            if (job.refreshReference && lastKeyframeNumber > *job.refreshReference)
                job.refreshReference.reset();
        }
        if (job.refreshReference && !job.session->invalidateAfter(job.refreshPresentation)) {
            // Predicting from the lost frames would leave the viewers' pictures broken.
            job.refreshReference.reset();
            job.forceKeyframe = true;
        }
        CompressionSession::Picture input{job.picture.data(0), job.picture.stride(0), job.picture.data(1),
                                          job.picture.stride(1)};
        std::vector<CompressionSession::Sample> samples;
        int status = job.session->encode(input, int64_t(job.captureTime / 1000), job.forceKeyframe, samples);
        if (status < 0) {
            Log::encoder().error("Encode-Fehler {}", status);
            std::shared_ptr<CompressionSession> detached;
            {
                std::lock_guard lock(mutex);
                // A failed encoder is not trusted with another picture: the next one builds a new session,
                // starting with a keyframe.
                if (job.generation == generation)
                    detached = detachLocked();
            }
            return;
        }

        std::vector<EncodedVideoFrame> frames;
        {
            std::lock_guard lock(mutex);
            if (job.generation != generation)
                return;
            pendingFrames = std::max(0, pendingFrames - 1);
            uint64_t now = MonotonicClock::now();
            if (job.captureTime <= job.submitTime)
                waitWindow.add(MonotonicClock::milliseconds(job.captureTime, job.submitTime));
            hardwareWindow.add(MonotonicClock::milliseconds(job.submitTime, now));
            outputCodec = job.session->codec();
            for (auto& sample : samples)
                frames.push_back(frameLocked(job, std::move(sample)));
        }
        if (!frames.empty())
            LatencyTrace::mark(LatencyStage::encoderOutput, tier, job.captureTime);
        for (auto& frame : frames)
            outputHandler(std::move(frame));
    }

    EncodedVideoFrame frameLocked(const Job& job, CompressionSession::Sample sample) {
        const bool keyframe = sample.keyframe;
        const bool disposable = keyframe ? job.configuration.intraOnly : sample.disposable;
        // The session answers a refresh with a keyframe when nothing is left to predict from.
        const bool refresh = !keyframe && job.refreshReference;
        EncodedVideoFrame frame;
        frame.codec = job.configuration.codec;
        frame.tier = tier;
        const uint64_t n = numbers->next();
        frame.frameNumber = n;
        frame.referenceFrameNumber = keyframe ? n : refresh ? *job.refreshReference : lastReferenceFrame;
        if (!disposable) {
            lastReferenceFrame = n;
        } else if (refresh) {
            lastReferenceFrame = *job.refreshReference;
        }
        if (keyframe) {
            lastAcknowledged = 0;
            lastKeyframeNumber = n;
            referencePresentations.clear();
        }
        if (refresh) {
            // The frames between the acknowledged one and this are gone from the session's references: an
            // acknowledgement of one of them must not become the target of a later refresh.
            referencePresentations.erase(referencePresentations.upper_bound(*job.refreshReference),
                                         referencePresentations.end());
        }
        if (ltrActive && !disposable) {
            referencePresentations[n] = sample.presentationMicros;
            if (referencePresentations.size() > maximumReferencePresentations)
                referencePresentations.erase(referencePresentations.begin());
        }
        if (keyframe)
            frame.flags.insert(Flags::keyframe);
        if (disposable)
            frame.flags.insert(Flags::disposable);
        if (refresh)
            frame.flags.insert(Flags::refresh);
        if (job.isTestPattern)
            frame.flags.insert(Flags::testPattern);
        frame.captureTime = job.captureTime;
        frame.encodeDoneTime = MonotonicClock::now();
        frame.dimensions = job.configuration.dimensions;
        frame.targetBitrateKbps = uint32_t(effective.bitrateKbps);
        // A viewer can only start at a keyframe that carries the sets; one whose own are missing or broken
        // gets the last good ones of this session.
        if (keyframe && parameterSets)
            frame.parameterSets = parameterSets->forKeyframe(nal::joinAnnexB(sample.parameterSets));
        frame.payload = std::move(sample.payload);
        return frame;
    }
};

VideoEncoder::VideoEncoder(uint8_t tier, EncoderConfiguration configuration, OutputHandler outputHandler)
    : VideoEncoder(tier, configuration, std::move(outputHandler), Options{}) {}

VideoEncoder::VideoEncoder(uint8_t tier, EncoderConfiguration configuration, OutputHandler outputHandler,
                           Options options)
    : tier_(tier),
      core_(std::make_shared<Core>(tier, configuration, std::move(outputHandler), std::move(options))),
      worker_(std::make_shared<Worker>()) {
    worker_->thread = std::thread([worker = worker_, weakCore = std::weak_ptr<Core>(core_), tier] {
        std::string name = "encoder-t" + std::to_string(tier);
        pthread_setname_np(pthread_self(), name.c_str());
        for (;;) {
            Job job;
            {
                std::unique_lock lock(worker->mutex);
                worker->wake.wait(lock, [&] { return worker->stopping || !worker->jobs.empty(); });
                if (worker->stopping)
                    return;
                job = std::move(worker->jobs.front());
                worker->jobs.pop_front();
            }
            auto core = weakCore.lock();
            if (!core)
                return;
            core->run(job);
        }
    });
}

VideoEncoder::~VideoEncoder() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
        dropped.swap(worker_->jobs);
    }
    worker_->wake.notify_all();
    if (worker_->thread.get_id() == std::this_thread::get_id()) {
        // Released inside the output handler: the worker ends by itself once the handler returns.
        worker_->thread.detach();
    } else {
        worker_->thread.join();
    }
}

const EncoderCapabilities& VideoEncoder::capabilities() {
    return CompressionSession::capabilities();
}

EncoderConfiguration VideoEncoder::configuration() const {
    std::lock_guard lock(core_->mutex);
    return core_->configuration;
}

int VideoEncoder::configuredBitrateKbps() const {
    std::lock_guard lock(core_->mutex);
    return core_->configuration.bitrateKbps;
}

bool VideoEncoder::isLowLatencyActive() const {
    std::lock_guard lock(core_->mutex);
    return core_->lowLatencyActive;
}

void VideoEncoder::encode(const PixelBuffer& picture, uint64_t captureTime, bool isTestPattern) {
    if (!picture)
        return;
    auto job = core_->prepare(picture, captureTime, isTestPattern);
    if (!job)
        return;
    job->submitTime = MonotonicClock::now();
    LatencyTrace::mark(LatencyStage::encoderSubmit, core_->tier, captureTime, job->submitTime);
    {
        std::lock_guard lock(worker_->mutex);
        worker_->jobs.push_back(std::move(*job));
    }
    worker_->wake.notify_one();
}

bool VideoEncoder::requestKeyframe(double minimumIntervalMs) {
    {
        std::lock_guard lock(core_->mutex);
        Core& c = *core_;
        if (c.ltrActive && c.lastAcknowledged != 0 && c.lastAcknowledged >= c.lastKeyframeNumber) {
            uint64_t now = MonotonicClock::now();
            if (c.lastRefreshRequest != 0 &&
                MonotonicClock::milliseconds(c.lastRefreshRequest, now) < minimumIntervalMs)
                return true;
            c.lastRefreshRequest = now;
            c.forceRefresh = true;
            return true;
        }
    }
    requestFullKeyframe(minimumIntervalMs);
    return false;
}

void VideoEncoder::requestFullKeyframe(double minimumIntervalMs) {
    std::lock_guard lock(core_->mutex);
    uint64_t now = MonotonicClock::now();
    if (core_->lastKeyframeRequest != 0 &&
        MonotonicClock::milliseconds(core_->lastKeyframeRequest, now) < minimumIntervalMs)
        return;
    core_->lastKeyframeRequest = now;
    core_->forceKeyframe = true;
}

void VideoEncoder::acknowledgeReference(uint64_t frameNumber) {
    std::lock_guard lock(core_->mutex);
    Core& c = *core_;
    if (!c.ltrActive || frameNumber <= c.lastAcknowledged || frameNumber < c.lastKeyframeNumber)
        return;
    auto found = c.referencePresentations.find(frameNumber);
    if (found == c.referencePresentations.end())
        return;
    c.lastAcknowledged = frameNumber;
    c.lastAcknowledgedPresentation = found->second;
}

uint64_t VideoEncoder::acknowledgedFrame() const {
    std::lock_guard lock(core_->mutex);
    return core_->ltrActive ? core_->lastAcknowledged : 0;
}

std::optional<double> VideoEncoder::targetFrameRate() const {
    std::lock_guard lock(core_->mutex);
    return core_->targetFrameRate;
}

void VideoEncoder::setTargetFrameRate(std::optional<double> framesPerSecond) {
    std::function<void()> retune;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->targetFrameRate == framesPerSecond)
            return;
        core_->targetFrameRate = framesPerSecond;
        retune = core_->retuneLocked();
    }
    if (retune)
        retune();
}

std::optional<double> VideoEncoder::frameRateLimit() const {
    std::lock_guard lock(core_->mutex);
    return core_->frameRateLimit;
}

void VideoEncoder::setFrameRateLimit(std::optional<double> framesPerSecond) {
    std::shared_ptr<CompressionSession> detached;
    std::function<void()> retune;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->frameRateLimit == framesPerSecond)
            return;
        core_->frameRateLimit = framesPerSecond;
        // The session's level and references were chosen for its rate: another one opens a new session at
        // the next picture, as a change of the configured rate does.
        if (core_->session &&
            std::max(1, int(std::lround(core_->tierFrameRateLocked()))) != core_->sessionFrameRate)
            detached = core_->detachLocked();
        else
            retune = core_->retuneLocked();
    }
    if (retune)
        retune();
}

VideoEncoder::Timing VideoEncoder::timing() const {
    std::lock_guard lock(core_->mutex);
    return {core_->waitWindow.median(), core_->hardwareWindow.median(), core_->outputCodec};
}

void VideoEncoder::applyPendingSessionChange(const EncoderConfiguration& configuration) {
    std::shared_ptr<CompressionSession> detached;
    std::function<void()> retune;
    {
        std::lock_guard lock(core_->mutex);
        EncoderConfiguration old = core_->configuration;
        core_->configuration = configuration;
        EncoderConfiguration oldWithNewBitrate = old;
        oldWithNewBitrate.bitrateKbps = configuration.bitrateKbps;
        if (core_->session && oldWithNewBitrate != configuration)
            detached = core_->detachLocked();
        core_->effective = configuration.sanitized();
        core_->noteClampLocked();
        if (core_->session && old.bitrateKbps != configuration.bitrateKbps)
            retune = core_->retuneLocked();
    }
    if (retune)
        retune();
}

void VideoEncoder::setBitrate(int kbps) {
    std::function<void()> retune;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->configuration.bitrateKbps == kbps)
            return;
        core_->configuration.bitrateKbps = kbps;
        core_->effective.bitrateKbps = core_->configuration.sanitized().bitrateKbps;
        core_->noteClampLocked();
        retune = core_->retuneLocked();
    }
    if (retune)
        retune();
}

void VideoEncoder::resetSession() {
    std::shared_ptr<CompressionSession> detached;
    {
        std::lock_guard lock(core_->mutex);
        detached = core_->detachLocked();
    }
}

}  // namespace kelvora
