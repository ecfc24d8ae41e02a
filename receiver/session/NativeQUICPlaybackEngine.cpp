#include "receiver/session/NativeQUICPlaybackEngine.h"

#include <charconv>

#include "core/Log.h"
#include "core/QUICConfiguration.h"

namespace kelvora {
namespace {

// "quicPort" as the sender writes it: decimal digits of a port a listener can have. Port 0 names no
// listener and counts as missing.
std::optional<uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::string describe(const std::exception_ptr& error) {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "ohne Fehler";
}

}  // namespace

NativeQUICPlaybackEngine::NativeQUICPlaybackEngine(Clock clock, SerialQueue::Duration retireAfter)
    : clock_(std::move(clock)), retireAfter_(retireAfter) {}

void NativeQUICPlaybackEngine::start(const PlaybackEngineContext& context) {
    const auto& parameters = context.welcome.engineParameters;
    auto port = parameters.find(std::string(QUICConfiguration::ParameterKey::quicPort));
    auto fingerprint = parameters.find(std::string(QUICConfiguration::ParameterKey::quicFingerprint));
    if (parameters.empty() || port == parameters.end() || !parsePort(port->second) ||
        fingerprint == parameters.end() || fingerprint->second.empty() || !context.senderHost) {
        throw QUICError::missingParameters();
    }
    std::error_code invalid;
    asio::ip::address host = asio::ip::make_address(*context.senderHost, invalid);
    if (invalid) {
        throw QUICError::missingParameters();
    }
    context_ = context;
    endpoint_ = asio::ip::udp::endpoint(host, *parsePort(port->second));
    fingerprint_ = fingerprint->second;
    openLink();
}

void NativeQUICPlaybackEngine::openLink() {
    if (!context_ || !endpoint_ || stopped_) {
        return;
    }
    auto link = std::make_shared<Link>();
    link->id = ++newestLinkID_;
    links_[link->id] = link;
    std::weak_ptr<NativeQUICPlaybackEngine> weakEngine = weak_from_this();
    std::weak_ptr<Link> weakLink = link;
    try {
        link->connection = QuicConnection::connect(context_->queue->context(), *endpoint_,
                                                   QUICConfiguration::clientParameters(fingerprint_));
    } catch (const QuicError& error) {
        // Reported like any lost connection, from the queue rather than from inside this call.
        auto failure = std::make_exception_ptr(error);
        context_->queue->async([weakEngine, link, failure] {
            if (auto engine = weakEngine.lock(); engine && !engine->stopped_) {
                ViewerLog::network().error("QUIC-Verbindung fehlgeschlagen: {}", describe(failure));
                engine->recover(link, failure);
            }
        });
        return;
    }
    link->connection->setHandlers(
        {[weakEngine, weakLink] {
             auto engine = weakEngine.lock();
             auto link = weakLink.lock();
             if (!engine || !link || engine->stopped_) {
                 return;
             }
             ViewerLog::network().debug("QUIC-Verbindung {} (neueste {}, offen {}): bereit", link->id,
                                        engine->newestLinkID_, engine->links_.size());
             engine->openAttachStream(link);
         },
         [weakEngine](std::shared_ptr<QuicStream> stream) {
             if (auto engine = weakEngine.lock(); engine && !engine->stopped_) {
                 engine->acceptFrameStream(std::move(stream));
             } else {
                 stream->cancel(0);
             }
         },
         [weakEngine, weakLink](const std::optional<QuicError>& error) {
             auto engine = weakEngine.lock();
             auto link = weakLink.lock();
             if (!engine || !link || engine->stopped_) {
                 return;
             }
             ViewerLog::network().debug("QUIC-Verbindung {} (neueste {}, offen {}): beendet", link->id,
                                        engine->newestLinkID_, engine->links_.size());
             if (error) {
                 ViewerLog::network().error("QUIC-Verbindung fehlgeschlagen: {}", error->text());
                 engine->recover(link, std::make_exception_ptr(*error));
             } else {
                 engine->recover(link, nullptr);
             }
         }});
}

void NativeQUICPlaybackEngine::openAttachStream(const std::shared_ptr<Link>& link) {
    auto stream = link->connection->openStream();
    if (!stream) {
        closeLink(*link);
        recover(link, nullptr);
        return;
    }
    link->attachStream = stream;
    std::weak_ptr<NativeQUICPlaybackEngine> weakEngine = weak_from_this();
    std::weak_ptr<Link> weakLink = link;
    stream->setHandlers({// The sender says nothing on the attach stream but a goodbye before it ends its
                         // side, which ends the link as a clean close.
                         [weakEngine, weakLink](std::span<const uint8_t>, bool finished) {
                             auto engine = weakEngine.lock();
                             auto link = weakLink.lock();
                             if (!finished || !engine || !link || engine->stopped_) {
                                 return;
                             }
                             closeLink(*link);
                             engine->recover(link, nullptr);
                         },
                         [weakEngine, weakLink](const std::optional<QuicError>& error) {
                             auto engine = weakEngine.lock();
                             auto link = weakLink.lock();
                             if (!engine || !link || engine->stopped_) {
                                 return;
                             }
                             closeLink(*link);
                             engine->recover(link, error ? std::make_exception_ptr(*error) : nullptr);
                         }});
    stream->send(ControlMessage(MediaAttachMessage{context_->welcome.sessionToken}).encoded(), false);
}

void NativeQUICPlaybackEngine::acceptFrameStream(std::shared_ptr<QuicStream> stream) {
    const QuicStream* key = stream.get();
    frameStreams_[key] = FrameStream{stream, {}, false};
    uint64_t now = clock_();
    tracker_.opened(key, now);
    for (FrameStreamTracker::Key abandoned : tracker_.abandon(now)) {
        dropFrameStream(static_cast<const QuicStream*>(abandoned), true);
    }
    std::weak_ptr<NativeQUICPlaybackEngine> weakEngine = weak_from_this();
    stream->setHandlers({[weakEngine, key](std::span<const uint8_t> data, bool) {
                             if (auto engine = weakEngine.lock()) {
                                 engine->receiveOnFrameStream(key, data);
                             }
                         },
                         [weakEngine, key](const std::optional<QuicError>&) {
                             if (auto engine = weakEngine.lock()) {
                                 engine->dropFrameStream(key, false);
                             }
                         }});
}

void NativeQUICPlaybackEngine::receiveOnFrameStream(const QuicStream* key, std::span<const uint8_t> data) {
    auto found = frameStreams_.find(key);
    if (found == frameStreams_.end()) {
        return;
    }
    FrameStream& entry = found->second;
    if (entry.delivered) {
        return;  // one frame per stream: what follows it is not kept
    }
    if (bufferedBytes_ + data.size() > maximumBufferedBytes) {
        ViewerLog::network().debug("QUIC: Frame-Streams halten zu viel, Stream verworfen");
        dropFrameStream(key, true);
        return;
    }
    bufferedBytes_ -= entry.parser.bufferedByteCount();
    auto result = entry.parser.append(data);
    bufferedBytes_ += entry.parser.bufferedByteCount();
    for (auto& message : result.messages) {
        const auto* frame = message.get<EncodedVideoFrame>();
        if (frame == nullptr || entry.delivered) {
            continue;
        }
        entry.delivered = true;
        bufferedBytes_ -= entry.parser.bufferedByteCount();
        entry.parser = ControlMessageParser();
        tracker_.completed(key);
        uint64_t now = clock_();
        // Finishing our side is the sender's receipt of this frame.
        entry.stream->finish();
        if (auto output = context_->output.lock()) {
            output->receive(*frame, now);
        }
        // The output may have stopped the engine.
        if (frameStreams_.find(key) == frameStreams_.end()) {
            return;
        }
    }
    if (result.error) {
        ViewerLog::network().debug("QUIC: unlesbarer Frame-Stream: {}", result.error->text());
        dropFrameStream(key, true);
    }
}

void NativeQUICPlaybackEngine::dropFrameStream(const QuicStream* key, bool cancel) {
    tracker_.forget(key);
    auto found = frameStreams_.find(key);
    if (found == frameStreams_.end()) {
        return;
    }
    bufferedBytes_ -= found->second.parser.bufferedByteCount();
    auto stream = std::move(found->second.stream);
    frameStreams_.erase(found);
    if (cancel) {
        stream->cancel(0);
    }
}

int NativeQUICPlaybackEngine::framesInFlight() const {
    return tracker_.framesInFlight(clock_());
}

void NativeQUICPlaybackEngine::handle(const EngineSignalMessage& signal) {
    if (signal.engine != EngineKind::quic() || signal.kind != QUICConfiguration::rotateSignal || stopped_) {
        return;
    }
    ViewerLog::network().info("QUIC: neue Verbindung angefordert (Rotation)");
    openLink();
    int noted = newestLinkID_;
    if (!context_) {
        return;
    }
    // Until then old and new connection both deliver; the sender moves the session to the new one as soon
    // as it has attached.
    std::weak_ptr<NativeQUICPlaybackEngine> weakEngine = weak_from_this();
    retirements_.push_back(context_->queue->after(retireAfter_, [weakEngine, noted] {
        if (auto engine = weakEngine.lock()) {
            engine->retireLinksExcept(noted);
        }
    }));
}

void NativeQUICPlaybackEngine::retireLinksExcept(int keptID) {
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->first == keptID || it->first == newestLinkID_) {
            ++it;
            continue;
        }
        auto link = it->second;
        it = links_.erase(it);
        closeLink(*link);
    }
}

void NativeQUICPlaybackEngine::recover(const std::shared_ptr<Link>& link, std::exception_ptr error) {
    links_.erase(link->id);
    // A retired or superseded connection is simply gone.
    if (link->id != newestLinkID_ || stopped_) {
        return;
    }
    uint64_t now = clock_();
    bool recentlyRecovered =
        lastLinkRecovery_ != 0 && MonotonicClock::milliseconds(lastLinkRecovery_, now) <= recoveryIntervalMs;
    if (!error || recentlyRecovered) {
        failMediaChannel(error);
        return;
    }
    lastLinkRecovery_ = now;
    ViewerLog::network().info("QUIC: Verbindung weggebrochen, baue Medienkanal neu auf");
    openLink();
}

void NativeQUICPlaybackEngine::failMediaChannel(std::exception_ptr error) {
    if (auto output = context_->output.lock()) {
        output->mediaChannelFailed(error);
    }
}

void NativeQUICPlaybackEngine::closeLink(Link& link) {
    if (link.attachStream) {
        link.attachStream->cancel(0);
    }
    if (link.connection) {
        link.connection->close(0);
    }
}

void NativeQUICPlaybackEngine::stop() {
    stopped_ = true;
    retirements_.clear();
    auto links = std::move(links_);
    links_.clear();
    for (auto& [id, link] : links) {
        closeLink(*link);
    }
    auto streams = std::move(frameStreams_);
    frameStreams_.clear();
    bufferedBytes_ = 0;
    for (auto& [key, entry] : streams) {
        entry.stream->cancel(0);
    }
}

}  // namespace kelvora
