#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace kelvora {

// SIGTERM, SIGINT and SIGHUP as an event of the main loop, so that a signal quits a desktop program the way
// its own quit command does.
// `blockStopSignals` must run before the first thread starts: every thread inherits the mask, and the
// signals then wait in a signalfd that the loop watches.
class StopSignals final : public QObject {
    Q_OBJECT

  public:
    static void blockStopSignals();

    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

  signals:
    void stopRequested(int signal);

  private:
    void drain();

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kelvora
