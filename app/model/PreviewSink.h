#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// Where an output's preview pictures go: the on-screen renderer implements it.
class PreviewSink {
  public:
    virtual ~PreviewSink() = default;
    // Any thread; the sink keeps only the newest picture it has not shown yet.
    virtual void submit(const PixelBuffer& picture) = 0;
    // Shows nothing until the next picture.
    virtual void clear() = 0;
};

using PreviewSinkFactory = std::function<std::shared_ptr<PreviewSink>(VideoDimensions size)>;

// A sink that only holds the newest picture, for programs and tests without a screen.
class LatestPicturePreview final : public PreviewSink {
  public:
    void submit(const PixelBuffer& picture) override;
    void clear() override;
    PixelBuffer latest() const;
    uint64_t submitted() const;
    uint64_t cleared() const;

  private:
    mutable std::mutex mutex_;
    PixelBuffer latest_;
    uint64_t submitted_ = 0;
    uint64_t cleared_ = 0;
};

class PreviewRenderer;

// The on-screen preview: a PreviewRenderer of the given size, whose display the video item shows.
class RendererPreview final : public PreviewSink {
  public:
    explicit RendererPreview(VideoDimensions size);
    ~RendererPreview() override;
    void submit(const PixelBuffer& picture) override;
    void clear() override;
    PreviewRenderer& renderer() const { return *renderer_; }

  private:
    std::unique_ptr<PreviewRenderer> renderer_;
};

// Lets through pictures at least a minimum interval apart by capture time. A picture captured before the
// last one let through is held back and does not move the mark.
class PreviewThrottle {
  public:
    explicit PreviewThrottle(double minimumMs) : minimumMs_(minimumMs) {}
    bool admit(uint64_t captureTime);
    uint64_t last() const { return last_; }

  private:
    double minimumMs_;
    uint64_t last_ = 0;
};

// The main output's gate for the main-window preview (every 10 ms at most) and the menu preview (every
// 25 ms at most); a hidden preview gets nothing. Thread-safe: the source's thread asks, the main thread
// switches visibility.
class PreviewGate {
  public:
    struct Due {
        bool main = false;
        bool menu = false;
    };

    void setMainVisible(bool visible);
    void setMenuVisible(bool visible);
    Due admit(uint64_t captureTime);
    uint64_t lastMain() const;
    uint64_t lastMenu() const;

  private:
    mutable std::mutex mutex_;
    bool mainVisible_ = true;
    bool menuVisible_ = false;
    PreviewThrottle main_{10.0};
    PreviewThrottle menu_{25.0};
};

}  // namespace kelvora
