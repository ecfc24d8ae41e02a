#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QString>

#include "app/model/SenderController.h"
#include "app/model/Updater.h"
#include "app/shell/WindowService.h"

namespace kelvora {

// What the main window shows of the controller, and the program's commands: the menu bar, the shortcuts
// and the tray all act through here, so every path to "quit" or "show the introduction" is the same one.
class MainWindowModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the program")
    Q_PROPERTY(kelvora::SenderController* controller READ controller CONSTANT)
    Q_PROPERTY(bool isDeveloperMode READ isDeveloperMode WRITE setDeveloperMode NOTIFY isDeveloperModeChanged)
    Q_PROPERTY(
        bool showsOnboarding READ showsOnboarding WRITE setShowsOnboarding NOTIFY showsOnboardingChanged)
    Q_PROPERTY(QString displayName READ displayName NOTIFY displayNameChanged)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(bool isPaused READ isPaused NOTIFY isPausedChanged)
    Q_PROPERTY(QString pauseTitle READ pauseTitle NOTIFY isPausedChanged)
    Q_PROPERTY(QString pauseSymbol READ pauseSymbol NOTIFY isPausedChanged)
    Q_PROPERTY(QString pauseHelp READ pauseHelp NOTIFY isPausedChanged)
    Q_PROPERTY(int extraOutputCount READ extraOutputCount NOTIFY extraOutputCountChanged)
    Q_PROPERTY(bool canAddSource READ canAddSource NOTIFY extraOutputCountChanged)
    Q_PROPERTY(QString addSourceHelp READ addSourceHelp CONSTANT)

  public:
    MainWindowModel(SenderController& controller, WindowService& windows, Updater& updater,
                    QObject* parent = nullptr);

    SenderController* controller() const { return &controller_; }
    bool isDeveloperMode() const { return controller_.isDeveloperMode(); }
    void setDeveloperMode(bool enabled) { controller_.setDeveloperMode(enabled); }
    bool showsOnboarding() const { return controller_.showsOnboarding(); }
    void setShowsOnboarding(bool shows) { controller_.setShowsOnboarding(shows); }
    QString displayName() const;
    bool canCheckForUpdates() const { return updater_.canCheckForUpdates(); }
    bool isPaused() const { return controller_.isPaused(); }
    QString pauseTitle() const;
    QString pauseSymbol() const;
    QString pauseHelp() const;
    int extraOutputCount() const { return extraOutputCount_; }
    bool canAddSource() const;
    QString addSourceHelp() const;

    Q_INVOKABLE void togglePause() { controller_.togglePause(); }
    Q_INVOKABLE void addOutput() { controller_.addOutput(); }

    Q_INVOKABLE void openMainWindow();
    Q_INVOKABLE void openSettings();
    Q_INVOKABLE void openLicenses();
    // A window by its id ("main", "settings", "licenses").
    Q_INVOKABLE void openWindow(const QString& id);
    // Opens the main window, then shows the introduction on it from its first page.
    Q_INVOKABLE void showIntroduction();
    Q_INVOKABLE void toggleDeveloperMode();
    Q_INVOKABLE void checkForUpdates();
    // The one way out: the program stops the controller (every viewer is told) on its way down.
    Q_INVOKABLE void quit();
    // What every way out ends in, run when the application is about to quit: the controller stops first,
    // so that nothing starts again and viewers hear only that the sender stopped; then the names still
    // being typed are stored.
    void shutDown();

  signals:
    void isDeveloperModeChanged();
    void showsOnboardingChanged();
    void displayNameChanged();
    void canCheckForUpdatesChanged();
    void isPausedChanged();
    void extraOutputCountChanged();

  private:
    SenderController& controller_;
    WindowService& windows_;
    Updater& updater_;
    QString displayName_;
    int extraOutputCount_ = 0;
};

}  // namespace kelvora
