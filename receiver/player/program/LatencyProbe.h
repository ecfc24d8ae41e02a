#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class QQuickWindow;

namespace kelvora {

class StreamPlayer;

// Measures what the window really shows of the sender's test picture: each decoded picture's time code is
// read as it goes to the display, and when the window has swapped in a frame that holds a newer picture, the
// time since its capture is one glass-to-glass sample (sender and viewer on one machine share the monotonic
// clock). Once a second it prints the median and 95th percentile of those samples, the debug overlay's own
// latency figure, the pictures shown and the process's CPU time per shown picture.
//
// Threads: the time code is read on the session's presentation thread, the swap may come on the render
// thread; both only touch the atomic and the mutex-guarded samples. Reports run on the GUI thread.
class LatencyProbe final : public QObject {
    Q_OBJECT

  public:
    LatencyProbe(StreamPlayer& player, QQuickWindow& window, QObject* parent = nullptr);
    ~LatencyProbe() override;

  private:
    void swapped();
    void report();

    StreamPlayer& player_;
    // Shared with the frame tap, which may finish one call after it was replaced.
    std::shared_ptr<std::atomic<uint64_t>> latestCapture_ = std::make_shared<std::atomic<uint64_t>>(0);
    uint64_t lastShownCapture_ = 0;
    std::mutex mutex_;
    std::vector<double> samples_;
    int64_t lastCpuMicros_ = 0;
    QTimer timer_;
};

}  // namespace kelvora
