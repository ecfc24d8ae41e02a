#include "receiver/player/program/LatencyProbe.h"

#include <sys/resource.h>

#include <QQuickWindow>

#include <algorithm>
#include <cstdio>

#include "core/MonotonicClock.h"
#include "core/TestPatternTimecode.h"
#include "receiver/player/StreamPlayer.h"

namespace kelvora {
namespace {

int64_t processCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000LL + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

double quantile(std::vector<double>& sorted, double q) {
    const size_t index =
        std::min(sorted.size() - 1, static_cast<size_t>(q * static_cast<double>(sorted.size())));
    return sorted[index];
}

}  // namespace

LatencyProbe::LatencyProbe(StreamPlayer& player, QQuickWindow& window, QObject* parent)
    : QObject(parent), player_(player), lastCpuMicros_(processCpuMicros()) {
    player.setOnFrame([latest = latestCapture_](const PixelBuffer& picture) {
        if (const auto capture = TestPatternTimecode::read(picture)) {
            latest->store(*capture, std::memory_order_relaxed);
        }
    });
    connect(&window, &QQuickWindow::frameSwapped, this, &LatencyProbe::swapped, Qt::DirectConnection);
    connect(&timer_, &QTimer::timeout, this, &LatencyProbe::report);
    timer_.start(1000);
}

LatencyProbe::~LatencyProbe() {
    player_.setOnFrame({});
}

void LatencyProbe::swapped() {
    const uint64_t capture = latestCapture_->load(std::memory_order_relaxed);
    const uint64_t now = MonotonicClock::now();
    std::lock_guard lock(mutex_);
    if (capture == 0 || capture == lastShownCapture_ || capture > now) {
        return;
    }
    lastShownCapture_ = capture;
    samples_.push_back(static_cast<double>(now - capture) / 1e6);
}

void LatencyProbe::report() {
    std::vector<double> samples;
    {
        std::lock_guard lock(mutex_);
        samples.swap(samples_);
    }
    const int64_t cpu = processCpuMicros();
    const double cpuMs = static_cast<double>(cpu - lastCpuMicros_) / 1000;
    lastCpuMicros_ = cpu;
    const auto overlay = player_.statistics().latencyMs;
    if (samples.empty()) {
        std::printf("viewer-latency frames=0 overlay-ms=%.1f\n", overlay.value_or(-1));
    } else {
        std::sort(samples.begin(), samples.end());
        std::printf(
            "viewer-latency frames=%zu shown-median-ms=%.1f shown-p95-ms=%.1f overlay-ms=%.1f "
            "cpu-ms-per-frame=%.2f\n",
            samples.size(), quantile(samples, 0.5), quantile(samples, 0.95), overlay.value_or(-1),
            cpuMs / static_cast<double>(samples.size()));
    }
    std::fflush(stdout);
}

}  // namespace kelvora
