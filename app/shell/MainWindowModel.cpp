#include "app/shell/MainWindowModel.h"

#include <QCoreApplication>

#include "app/shell/ShellPresenters.h"

namespace kelvora {

MainWindowModel::MainWindowModel(SenderController& controller, WindowService& windows, Updater& updater,
                                 QObject* parent)
    : QObject(parent), controller_(controller), windows_(windows), updater_(updater) {
    displayName_ = QString::fromStdString(controller_.displayName());
    connect(&controller_, &SenderController::isDeveloperModeChanged, this,
            &MainWindowModel::isDeveloperModeChanged);
    connect(&controller_, &SenderController::showsOnboardingChanged, this,
            &MainWindowModel::showsOnboardingChanged);
    connect(&controller_, &SenderController::settingsChanged, this, [this] {
        const QString name = QString::fromStdString(controller_.displayName());
        if (name != displayName_) {
            displayName_ = name;
            emit displayNameChanged();
        }
    });
    connect(&updater_, &Updater::canCheckForUpdatesChanged, this,
            &MainWindowModel::canCheckForUpdatesChanged);
    connect(&controller_, &SenderController::isPausedChanged, this, &MainWindowModel::isPausedChanged);
    extraOutputCount_ = static_cast<int>(controller_.extraOutputs().size());
    connect(&controller_, &SenderController::extraOutputsChanged, this, [this] {
        const int count = static_cast<int>(controller_.extraOutputs().size());
        if (count != extraOutputCount_) {
            extraOutputCount_ = count;
            emit extraOutputCountChanged();
        }
    });
}

QString MainWindowModel::pauseTitle() const {
    return QString::fromStdString(toolbarPause(isPaused()).title);
}

QString MainWindowModel::pauseSymbol() const {
    return QString::fromStdString(toolbarPause(isPaused()).symbol);
}

QString MainWindowModel::pauseHelp() const {
    return QString::fromStdString(toolbarPause(isPaused()).help);
}

bool MainWindowModel::canAddSource() const {
    return kelvora::canAddSource(extraOutputCount_);
}

QString MainWindowModel::addSourceHelp() const {
    return QString::fromStdString(kelvora::addSourceHelp());
}

QString MainWindowModel::displayName() const {
    return displayName_;
}

void MainWindowModel::openMainWindow() {
    windows_.open(QStringLiteral("main"));
}

void MainWindowModel::openSettings() {
    windows_.open(QStringLiteral("settings"));
}

void MainWindowModel::openLicenses() {
    windows_.open(QStringLiteral("licenses"));
}

void MainWindowModel::openWindow(const QString& id) {
    windows_.open(id);
}

void MainWindowModel::showIntroduction() {
    windows_.open(QStringLiteral("main"));
    controller_.setShowsOnboarding(true);
}

void MainWindowModel::toggleDeveloperMode() {
    controller_.setDeveloperMode(!controller_.isDeveloperMode());
}

void MainWindowModel::checkForUpdates() {
    updater_.checkForUpdates();
}

void MainWindowModel::quit() {
    QCoreApplication::quit();
}

void MainWindowModel::shutDown() {
    controller_.stop();
    windows_.commitPendingEdits();
}

}  // namespace kelvora
