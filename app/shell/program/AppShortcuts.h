#pragma once

#include <QObject>

namespace kelvora {

class MainWindowModel;

// The program's keyboard commands in every one of its windows: Ctrl+Alt+D developer mode, Ctrl+, settings,
// Ctrl+Q quit. Taken where a key reaches a window, before any control in it sees the key.
class AppShortcuts final : public QObject {
    Q_OBJECT

  public:
    explicit AppShortcuts(MainWindowModel& commands, QObject* parent = nullptr);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    MainWindowModel& commands_;
};

}  // namespace kelvora
