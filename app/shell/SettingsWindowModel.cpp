#include "app/shell/SettingsWindowModel.h"

#include "app/presenters/ViewHelpers.h"
#include "app/shell/ShellPresenters.h"

namespace kelvora {

SettingsWindowModel::SettingsWindowModel(SenderController& controller, std::shared_ptr<HostInfo> host,
                                         QObject* parent)
    : QObject(parent), controller_(controller), host_(std::move(host)) {
    connect(&controller_, &SenderController::settingsChanged, this, &SettingsWindowModel::settingsChanged);
    connect(&controller_, &SenderController::launchAtLoginChanged, this,
            &SettingsWindowModel::launchAtLoginChanged);
    connect(&controller_, &SenderController::loginItemNeedsApprovalChanged, this,
            &SettingsWindowModel::loginItemNeedsApprovalChanged);
}

QString SettingsWindowModel::storedName() const {
    return QString::fromStdString(controller_.settings().senderName);
}

QString SettingsWindowModel::namePlaceholder() const {
    return QString::fromStdString(host_->computerName());
}

void SettingsWindowModel::setAutoStart(bool enabled) {
    SenderSettings settings = controller_.settings();
    settings.autoStart = enabled;
    controller_.setSettings(settings);
}

void SettingsWindowModel::setStudioMode(bool enabled) {
    SenderSettings settings = controller_.settings();
    settings.studioMode = enabled;
    controller_.setSettings(settings);
}

QString SettingsWindowModel::studioFooter() const {
    return QString::fromStdString(studioModeFooter(studioMode()));
}

QString SettingsWindowModel::versionText() const {
    return QString::fromStdString(appVersionText());
}

void SettingsWindowModel::commitName(const QString& typed) {
    const std::string name = trimmedName(typed.toStdString());
    if (name == controller_.settings().senderName) {
        return;
    }
    SenderSettings settings = controller_.settings();
    settings.senderName = name;
    controller_.setSettings(settings);
}

void SettingsWindowModel::setLaunchAtLogin(bool enabled) {
    controller_.setLaunchAtLogin(enabled);
    // The switch moved by itself; when the system kept the old state it must spring back.
    emit launchAtLoginChanged();
}

QStringList SettingsWindowModel::addresses() const {
    QStringList list;
    for (const std::string& address : localIPv4Addresses()) {
        list << QString::fromStdString(address);
    }
    return list;
}

}  // namespace kelvora
