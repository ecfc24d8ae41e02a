#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QString>
#include <QStringList>
#include <memory>

#include "app/model/PlatformServices.h"
#include "app/model/SenderController.h"

namespace kelvora {

// The settings window's proxy of the controller: one property per edited field, each write going through
// the controller's one settings setter; the network name is handed over only by `commitName`.
class SettingsWindowModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the program")
    Q_PROPERTY(QString storedName READ storedName NOTIFY settingsChanged)
    Q_PROPERTY(QString namePlaceholder READ namePlaceholder CONSTANT)
    Q_PROPERTY(bool autoStart READ autoStart WRITE setAutoStart NOTIFY settingsChanged)
    Q_PROPERTY(bool studioMode READ studioMode WRITE setStudioMode NOTIFY settingsChanged)
    Q_PROPERTY(QString studioFooter READ studioFooter NOTIFY settingsChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(bool loginItemNeedsApproval READ loginItemNeedsApproval NOTIFY loginItemNeedsApprovalChanged)
    Q_PROPERTY(QString versionText READ versionText CONSTANT)

  public:
    SettingsWindowModel(SenderController& controller, std::shared_ptr<HostInfo> host,
                        QObject* parent = nullptr);

    QString storedName() const;
    QString namePlaceholder() const;
    bool autoStart() const { return controller_.settings().autoStart; }
    void setAutoStart(bool enabled);
    bool studioMode() const { return controller_.settings().studioMode; }
    void setStudioMode(bool enabled);
    QString studioFooter() const;
    bool launchAtLogin() const { return controller_.launchAtLogin(); }
    bool loginItemNeedsApproval() const { return controller_.loginItemNeedsApproval(); }
    QString versionText() const;

    // Trims blanks and tabs and stores the name when it differs from the stored one.
    Q_INVOKABLE void commitName(const QString& typed);
    Q_INVOKABLE void setLaunchAtLogin(bool enabled);
    // Read anew each time the section is built.
    Q_INVOKABLE QStringList addresses() const;

  signals:
    void settingsChanged();
    void launchAtLoginChanged();
    void loginItemNeedsApprovalChanged();

  private:
    SenderController& controller_;
    const std::shared_ptr<HostInfo> host_;
};

}  // namespace kelvora
