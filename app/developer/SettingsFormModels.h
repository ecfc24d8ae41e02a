#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <string>
#include <vector>

#include "app/developer/SettingsFormPresenters.h"
#include "app/model/SenderController.h"
#include "platform/UserDefaults.h"

namespace kelvora {

// What every inspector section shares: the controller it shows (held, never owned; the view hands it in as
// a plain object so that QML needs no registration of the model) and the settings write path. Each section
// relays the controller signals it depends on as its one `changed`, which the controller emits only on a
// real change.
class SettingsFormModel : public QObject {
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(QObject* controller READ controllerObject WRITE setControllerObject NOTIFY changed)

  public:
    using QObject::QObject;

    QObject* controllerObject() const { return controller_; }
    void setControllerObject(QObject* controller);
    SenderController* controller() const { return controller_; }

  signals:
    void changed();

  protected:
    // The controller signals that change what the section shows.
    virtual void observe(SenderController& controller) = 0;

    const SenderSettings& settings() const;
    const SenderStatus& status() const;
    // One write through the controller's settings setter: the whole record with one field changed. An equal
    // record is dropped by the controller, so it is neither saved nor handed to the pipeline.
    template <class T>
    void editField(T SenderSettings::*field, const T& value) {
        if (!controller_) {
            return;
        }
        SenderSettings next = controller_->settings();
        next.*field = value;
        controller_->setSettings(next);
    }
    template <class T>
    T field(T SenderSettings::*member) const {
        return settings().*member;
    }

  private:
    QPointer<SenderController> controller_;
    QMetaObject::Connection destroyed_;
};

// "Videoquelle": the source picker's rows, the reconnect button and the footer.
class SourceChoiceFormModel : public kelvora::SettingsFormModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QVariantList rows READ rows NOTIFY changed)
    Q_PROPERTY(int selectedRow READ selectedRow NOTIFY changed)
    Q_PROPERTY(bool showsOtherFileButton READ showsOtherFileButton NOTIFY changed)
    Q_PROPERTY(QString reconnectHelp READ reconnectHelp NOTIFY changed)
    Q_PROPERTY(bool ndiAvailable READ ndiAvailable NOTIFY changed)
    Q_PROPERTY(QString automaticFooter READ automaticFooter CONSTANT)
    Q_PROPERTY(QString ndiFooter READ ndiFooter NOTIFY changed)
    Q_PROPERTY(QString ndiLink READ ndiLink NOTIFY changed)
    Q_PROPERTY(QString ndiLinkHost READ ndiLinkHost NOTIFY changed)
    Q_PROPERTY(QString trademark READ trademark NOTIFY changed)

  public:
    explicit SourceChoiceFormModel(QObject* parent = nullptr);

    // The defaults that say whether the pipeline retries a black source (the standard ones unless a test
    // hands in its own); followed while the section lives.
    void setDefaults(UserDefaults& defaults);

    QVariantList rows() const;
    int selectedRow() const;
    bool showsOtherFileButton() const;
    QString reconnectHelp() const;
    bool ndiAvailable() const;
    static QString automaticFooter();
    QString ndiFooter() const;
    QString ndiLink() const;
    QString ndiLinkHost() const;
    QString trademark() const;

    // The row picked by the user; the controller's source operations do every write.
    Q_INVOKABLE void choose(int row);
    Q_INVOKABLE void chooseOtherFile();
    Q_INVOKABLE void reconnect();

  protected:
    void observe(SenderController& controller) override;

  private:
    SourceSectionState state() const;

    UserDefaults* defaults_ = nullptr;
    bool autoSourceRecovery_ = false;
    UserDefaults::Observation recoveryObservation_;
};

// "Bild": five pickers and the sentence of what is sent.
class PictureFormModel : public kelvora::SettingsFormModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QStringList resolutionOptions READ resolutionOptions CONSTANT)
    Q_PROPERTY(int resolutionIndex READ resolutionIndex NOTIFY changed)
    Q_PROPERTY(QStringList frameRateOptions READ frameRateOptions CONSTANT)
    Q_PROPERTY(int frameRateIndex READ frameRateIndex NOTIFY changed)
    Q_PROPERTY(QStringList maximumFrameRateOptions READ maximumFrameRateOptions CONSTANT)
    Q_PROPERTY(int maximumFrameRateIndex READ maximumFrameRateIndex NOTIFY changed)
    Q_PROPERTY(QStringList codecOptions READ codecOptions CONSTANT)
    Q_PROPERTY(int codecIndex READ codecIndex NOTIFY changed)
    Q_PROPERTY(bool codecEnabled READ codecEnabled NOTIFY changed)
    Q_PROPERTY(QStringList qualityOptions READ qualityOptions CONSTANT)
    Q_PROPERTY(int qualityIndex READ qualityIndex NOTIFY changed)
    Q_PROPERTY(QString summary READ summary NOTIFY changed)

  public:
    using SettingsFormModel::SettingsFormModel;

    static QStringList resolutionOptions();
    int resolutionIndex() const;
    static QStringList frameRateOptions();
    int frameRateIndex() const;
    static QStringList maximumFrameRateOptions();
    int maximumFrameRateIndex() const;
    static QStringList codecOptions();
    int codecIndex() const;
    bool codecEnabled() const;
    static QStringList qualityOptions();
    int qualityIndex() const;
    QString summary() const;

    // Resolution and frame rate write the automatic flag first and then, for a value, the value: two writes.
    Q_INVOKABLE void chooseResolution(int index);
    Q_INVOKABLE void chooseFrameRate(int index);
    Q_INVOKABLE void chooseMaximumFrameRate(int index);
    Q_INVOKABLE void chooseCodec(int index);
    Q_INVOKABLE void chooseQuality(int index);

  protected:
    void observe(SenderController& controller) override;
};

// "Allgemein" besides the name field: automatic start and the login item.
class GeneralFormModel : public kelvora::SettingsFormModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool autoStart READ autoStart WRITE setAutoStart NOTIFY changed)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY changed)
    Q_PROPERTY(bool needsApproval READ needsApproval NOTIFY changed)

  public:
    using SettingsFormModel::SettingsFormModel;

    bool autoStart() const { return controller() && field(&SenderSettings::autoStart); }
    void setAutoStart(bool on) { editField(&SenderSettings::autoStart, on); }
    bool launchAtLogin() const;
    // The controller reads the login item back, which may differ from what was asked: the switch shows that.
    void setLaunchAtLogin(bool on);
    bool needsApproval() const;
    Q_INVOKABLE void openLoginItemSettings();

  protected:
    void observe(SenderController& controller) override;
};

// "Entwickler": bitrate, adaptation, references, keyframes and the media engines.
class DeveloperFormModel : public kelvora::SettingsFormModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool automaticBitrate READ automaticBitrate WRITE setAutomaticBitrate NOTIFY changed)
    Q_PROPERTY(bool showsStudioBitrate READ showsStudioBitrate NOTIFY changed)
    Q_PROPERTY(QStringList studioBitrateOptions READ studioBitrateOptions CONSTANT)
    Q_PROPERTY(int studioBitrateIndex READ studioBitrateIndex NOTIFY changed)
    Q_PROPERTY(bool showsBitrateStepper READ showsBitrateStepper NOTIFY changed)
    Q_PROPERTY(QString bitrateLabel READ bitrateLabel NOTIFY changed)
    Q_PROPERTY(int bitrateKbps READ bitrateKbps NOTIFY changed)
    Q_PROPERTY(int bitrateMinimumKbps READ bitrateMinimumKbps CONSTANT)
    Q_PROPERTY(int bitrateMaximumKbps READ bitrateMaximumKbps CONSTANT)
    Q_PROPERTY(int bitrateStepKbps READ bitrateStepKbps CONSTANT)
    Q_PROPERTY(bool adaptiveBitrate READ adaptiveBitrate WRITE setAdaptiveBitrate NOTIFY changed)
    Q_PROPERTY(bool adaptFrameRateFirst READ adaptFrameRateFirst WRITE setAdaptFrameRateFirst NOTIFY changed)
    Q_PROPERTY(bool adaptFrameRateFirstEnabled READ adaptFrameRateFirstEnabled NOTIFY changed)
    Q_PROPERTY(bool hotStandbyProxy READ hotStandbyProxy WRITE setHotStandbyProxy NOTIFY changed)
    Q_PROPERTY(bool hotStandbyProxyEnabled READ hotStandbyProxyEnabled NOTIFY changed)
    Q_PROPERTY(bool temporalLayering READ temporalLayering WRITE setTemporalLayering NOTIFY changed)
    Q_PROPERTY(bool longTermReferences READ longTermReferences WRITE setLongTermReferences NOTIFY changed)
    Q_PROPERTY(QStringList keyframeIntervalOptions READ keyframeIntervalOptions CONSTANT)
    Q_PROPERTY(int keyframeIntervalIndex READ keyframeIntervalIndex NOTIFY changed)
    Q_PROPERTY(QVariantList engines READ engines NOTIFY changed)

  public:
    using SettingsFormModel::SettingsFormModel;

    bool automaticBitrate() const { return controller() && field(&SenderSettings::automaticBitrate); }
    void setAutomaticBitrate(bool on) { editField(&SenderSettings::automaticBitrate, on); }
    bool showsStudioBitrate() const;
    static QStringList studioBitrateOptions();
    int studioBitrateIndex() const;
    bool showsBitrateStepper() const;
    QString bitrateLabel() const;
    int bitrateKbps() const { return settings().bitrateKbps; }
    static int bitrateMinimumKbps() { return BitrateStepper::minimumKbps; }
    static int bitrateMaximumKbps() { return BitrateStepper::maximumKbps; }
    static int bitrateStepKbps() { return BitrateStepper::stepKbps; }
    bool adaptiveBitrate() const { return controller() && field(&SenderSettings::adaptiveBitrate); }
    void setAdaptiveBitrate(bool on) { editField(&SenderSettings::adaptiveBitrate, on); }
    bool adaptFrameRateFirst() const { return controller() && field(&SenderSettings::adaptFrameRateFirst); }
    void setAdaptFrameRateFirst(bool on) { editField(&SenderSettings::adaptFrameRateFirst, on); }
    bool adaptFrameRateFirstEnabled() const;
    bool hotStandbyProxy() const { return controller() && field(&SenderSettings::hotStandbyProxy); }
    void setHotStandbyProxy(bool on) { editField(&SenderSettings::hotStandbyProxy, on); }
    bool hotStandbyProxyEnabled() const;
    bool temporalLayering() const { return controller() && field(&SenderSettings::temporalLayering); }
    void setTemporalLayering(bool on) { editField(&SenderSettings::temporalLayering, on); }
    bool longTermReferences() const { return controller() && field(&SenderSettings::longTermReferences); }
    void setLongTermReferences(bool on) { editField(&SenderSettings::longTermReferences, on); }
    static QStringList keyframeIntervalOptions();
    int keyframeIntervalIndex() const;
    QVariantList engines() const;

    Q_INVOKABLE void chooseStudioBitrate(int index);
    // The value a press of the stepper asked for, kept within the stepper's range.
    Q_INVOKABLE void chooseBitrate(int kbps);
    Q_INVOKABLE void chooseKeyframeInterval(int index);
    // Switches the engine of that row of `engines`; a row that cannot be switched changes nothing.
    Q_INVOKABLE void setEngine(int row, bool on);

  protected:
    void observe(SenderController& controller) override;
};

// "Info": facts for a viewer that does not find the sender by itself.
class InfoFormModel : public kelvora::SettingsFormModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString controlPort READ controlPort NOTIFY changed)
    Q_PROPERTY(QString addressText READ addressText NOTIFY changed)
    Q_PROPERTY(QString hevcHardware READ hevcHardware NOTIFY changed)
    Q_PROPERTY(QString networkError READ networkError NOTIFY changed)
    Q_PROPERTY(QString version READ version CONSTANT)

  public:
    explicit InfoFormModel(QObject* parent = nullptr);

    // Where the addresses come from (this computer's interfaces unless a test hands in a list); asked anew
    // with every status, so a new address shows up with the next one.
    void setAddressSource(std::function<std::vector<std::string>()> source);

    QString controlPort() const;
    QStringList addresses() const;
    // One address a line.
    QString addressText() const { return addresses().join('\n'); }
    QString hevcHardware() const;
    // Empty while the status carries no network error.
    QString networkError() const;
    static QString version();

  protected:
    void observe(SenderController& controller) override;

  private:
    std::function<std::vector<std::string>()> addressSource_;
};

}  // namespace kelvora
