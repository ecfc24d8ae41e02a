#include "app/developer/SettingsFormModels.h"

#include <algorithm>

#include <QCoreApplication>
#include <QVariantMap>
#include <filesystem>

#include "app/presenters/ViewHelpers.h"

namespace kelvora {
namespace {

constexpr const char* kAutoSourceRecoveryKey = "AutoSourceRecovery";

QString qtext(const std::string& text) {
    return QString::fromStdString(text);
}

QStringList qtexts(const std::vector<std::string>& texts) {
    QStringList list;
    for (const auto& text : texts) {
        list.append(qtext(text));
    }
    return list;
}

int qindex(const std::optional<size_t>& index) {
    return index ? static_cast<int>(*index) : -1;
}

// A picked index names an option only within the picker's list; anything else writes nothing.
bool isOption(int index, const Picker& picker) {
    return index >= 0 && static_cast<size_t>(index) < picker.options.size();
}

const SenderSettings& noSettings() {
    static const SenderSettings settings;
    return settings;
}

const SenderStatus& noStatus() {
    static const SenderStatus status;
    return status;
}

}  // namespace

// --- shared ---

void SettingsFormModel::setControllerObject(QObject* object) {
    auto* controller = qobject_cast<SenderController*>(object);
    if (controller == controller_) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    if (controller_) {
        observe(*controller_);
    }
    emit changed();
}

const SenderSettings& SettingsFormModel::settings() const {
    return controller_ ? controller_->settings() : noSettings();
}

const SenderStatus& SettingsFormModel::status() const {
    return controller_ ? controller_->status() : noStatus();
}

// --- video source ---

SourceChoiceFormModel::SourceChoiceFormModel(QObject* parent) : SettingsFormModel(parent) {
    setDefaults(UserDefaults::standard());
}

void SourceChoiceFormModel::setDefaults(UserDefaults& defaults) {
    defaults_ = &defaults;
    autoSourceRecovery_ = defaults.boolValue(kAutoSourceRecoveryKey).value_or(false);
    // Another program may switch the retry on or off while the inspector is shown; the change arrives on
    // the defaults' own thread.
    recoveryObservation_ = defaults.observe(
        kAutoSourceRecoveryKey, [self = QPointer(this)](const std::optional<UserDefaults::Json>&) {
            QMetaObject::invokeMethod(
                qApp,
                [self] {
                    if (self) {
                        const bool on = self->defaults_->boolValue(kAutoSourceRecoveryKey).value_or(false);
                        if (on != self->autoSourceRecovery_) {
                            self->autoSourceRecovery_ = on;
                            emit self->changed();
                        }
                    }
                },
                Qt::QueuedConnection);
        });
    emit changed();
}

void SourceChoiceFormModel::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::devicesChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::ndiSourcesChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::isPreparingSampleVideoChanged, this, &SettingsFormModel::changed);
}

SourceSectionState SourceChoiceFormModel::state() const {
    SourceSectionState state;
    state.autoSourceRecovery = autoSourceRecovery_;
    if (const SenderController* c = controller()) {
        state.settings = c->settings();
        state.devices = c->devices();
        state.ndiSources = c->ndiSources();
        state.isNDIAvailable = c->isNDIAvailable();
        state.isPreparingSampleVideo = c->isPreparingSampleVideo();
        state.isUsingSampleVideo = c->isUsingSampleVideo();
        state.videoFileDisplayName = c->videoFileDisplayName();
    }
    return state;
}

QVariantList SourceChoiceFormModel::rows() const {
    QVariantList list;
    for (const auto& row : sourceRows(state())) {
        list.append(QVariantMap{{"text", qtext(row.text)}, {"symbol", qtext(row.symbol)}});
    }
    return list;
}

int SourceChoiceFormModel::selectedRow() const {
    const auto current = state();
    return qindex(selectedSourceRow(sourceRows(current),
                                    currentSourceChoice(current.settings, current.isUsingSampleVideo)));
}

bool SourceChoiceFormModel::showsOtherFileButton() const {
    return kelvora::showsOtherFileButton(state());
}

QString SourceChoiceFormModel::reconnectHelp() const {
    return qtext(kelvora::reconnectHelp(autoSourceRecovery_));
}

bool SourceChoiceFormModel::ndiAvailable() const {
    return controller() && controller()->isNDIAvailable();
}

QString SourceChoiceFormModel::automaticFooter() {
    return qtext(sourceFooter(false).automatic);
}

QString SourceChoiceFormModel::ndiFooter() const {
    return qtext(sourceFooter(ndiAvailable()).ndi);
}

QString SourceChoiceFormModel::ndiLink() const {
    return qtext(sourceFooter(ndiAvailable()).ndiLink);
}

QString SourceChoiceFormModel::ndiLinkHost() const {
    return qtext(sourceFooter(ndiAvailable()).ndiLinkHost);
}

QString SourceChoiceFormModel::trademark() const {
    return qtext(sourceFooter(ndiAvailable()).trademark);
}

void SourceChoiceFormModel::choose(int row) {
    SenderController* c = controller();
    const auto rows = sourceRows(state());
    if (!c || row < 0 || static_cast<size_t>(row) >= rows.size()) {
        return;
    }
    using Kind = SourceChoice::Kind;
    const SourceChoice& choice = rows[static_cast<size_t>(row)].choice;
    switch (choice.kind) {
        case Kind::automatic:
            c->selectDevice(std::nullopt);
            break;
        case Kind::device:
            c->selectDevice(choice.text);
            break;
        case Kind::ndi:
            c->selectDevice("ndi:" + choice.text);
            break;
        case Kind::testPattern:
            c->selectTestPattern();
            break;
        case Kind::sampleVideo:
            c->useSampleVideo();
            break;
        case Kind::videoFile: {
            // Only a file the person chose comes back from this row. A stored file that has gone, or the
            // sample video left behind by the row above, leads to the chooser instead: otherwise the person
            // could never get from the sample to a file of their own.
            const auto& path = c->settings().videoFilePath;
            std::error_code error;
            if (path && !c->storesSampleVideo() && std::filesystem::is_regular_file(*path, error)) {
                c->useVideoFile(*path);
            } else {
                c->chooseVideoFile();
            }
            break;
        }
    }
}

void SourceChoiceFormModel::chooseOtherFile() {
    if (SenderController* c = controller()) {
        c->chooseVideoFile();
    }
}

void SourceChoiceFormModel::reconnect() {
    if (SenderController* c = controller()) {
        c->pipeline()->reconnectSource("manuell");
    }
}

// --- picture ---

void PictureFormModel::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::statusChanged, this, &SettingsFormModel::changed);
}

QStringList PictureFormModel::resolutionOptions() {
    return qtexts(resolutionPicker({}).options);
}

int PictureFormModel::resolutionIndex() const {
    return controller() ? qindex(resolutionPicker(settings()).selected) : -1;
}

QStringList PictureFormModel::frameRateOptions() {
    return qtexts(frameRatePicker({}).options);
}

int PictureFormModel::frameRateIndex() const {
    return controller() ? qindex(frameRatePicker(settings()).selected) : -1;
}

QStringList PictureFormModel::maximumFrameRateOptions() {
    return qtexts(maximumFrameRatePicker({}).options);
}

int PictureFormModel::maximumFrameRateIndex() const {
    return controller() ? qindex(maximumFrameRatePicker(settings()).selected) : -1;
}

QStringList PictureFormModel::codecOptions() {
    return qtexts(codecPicker({}).options);
}

int PictureFormModel::codecIndex() const {
    return controller() ? qindex(codecPicker(settings()).selected) : -1;
}

bool PictureFormModel::codecEnabled() const {
    return controller() && status().hevcHardwareAvailable;
}

QStringList PictureFormModel::qualityOptions() {
    return qtexts(qualityPicker({}).options);
}

int PictureFormModel::qualityIndex() const {
    return controller() ? qindex(qualityPicker(settings()).selected) : -1;
}

QString PictureFormModel::summary() const {
    return controller() ? qtext(formatSummary(settings(), status())) : QString();
}

void PictureFormModel::chooseResolution(int index) {
    if (!controller() || !isOption(index, resolutionPicker(settings()))) {
        return;
    }
    const auto value = resolutionOption(static_cast<size_t>(index));
    editField(&SenderSettings::autoResolution, !value.has_value());
    if (value) {
        editField(&SenderSettings::resolution, *value);
    }
}

void PictureFormModel::chooseFrameRate(int index) {
    if (!controller() || !isOption(index, frameRatePicker(settings()))) {
        return;
    }
    const auto value = frameRateOption(static_cast<size_t>(index));
    editField(&SenderSettings::autoFrameRate, !value.has_value());
    if (value) {
        editField(&SenderSettings::frameRate, *value);
    }
}

void PictureFormModel::chooseMaximumFrameRate(int index) {
    if (isOption(index, maximumFrameRatePicker(settings()))) {
        editField(&SenderSettings::maximumFrameRate, maximumFrameRateOption(static_cast<size_t>(index)));
    }
}

void PictureFormModel::chooseCodec(int index) {
    if (codecEnabled() && isOption(index, codecPicker(settings()))) {
        editField(&SenderSettings::preferredCodec, codecOption(static_cast<size_t>(index)));
    }
}

void PictureFormModel::chooseQuality(int index) {
    if (isOption(index, qualityPicker(settings()))) {
        editField(&SenderSettings::studioMode, qualityOption(static_cast<size_t>(index)));
    }
}

// --- general ---

void GeneralFormModel::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::launchAtLoginChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::loginItemNeedsApprovalChanged, this, &SettingsFormModel::changed);
}

bool GeneralFormModel::launchAtLogin() const {
    return controller() && controller()->launchAtLogin();
}

void GeneralFormModel::setLaunchAtLogin(bool on) {
    if (SenderController* c = controller()) {
        c->setLaunchAtLogin(on);
    }
}

bool GeneralFormModel::needsApproval() const {
    return controller() && controller()->loginItemNeedsApproval();
}

void GeneralFormModel::openLoginItemSettings() {
    if (SenderController* c = controller()) {
        c->openLoginItemSettings();
    }
}

// --- developer ---

void DeveloperFormModel::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &SettingsFormModel::changed);
    connect(&controller, &SenderController::statusChanged, this, &SettingsFormModel::changed);
}

bool DeveloperFormModel::showsStudioBitrate() const {
    return controller() && bitrateControl(settings()) == BitrateControl::studioPicker;
}

QStringList DeveloperFormModel::studioBitrateOptions() {
    return qtexts(studioBitratePicker({}).options);
}

int DeveloperFormModel::studioBitrateIndex() const {
    return controller() ? qindex(studioBitratePicker(settings()).selected) : -1;
}

bool DeveloperFormModel::showsBitrateStepper() const {
    return controller() && bitrateControl(settings()) == BitrateControl::stepper;
}

QString DeveloperFormModel::bitrateLabel() const {
    return qtext(bitrateStepperLabel(settings().bitrateKbps));
}

bool DeveloperFormModel::adaptFrameRateFirstEnabled() const {
    return controller() && developerToggles(settings()).adaptFrameRateFirstEnabled;
}

bool DeveloperFormModel::hotStandbyProxyEnabled() const {
    return controller() && developerToggles(settings()).hotStandbyProxyEnabled;
}

QStringList DeveloperFormModel::keyframeIntervalOptions() {
    return qtexts(keyframeIntervalPicker({}).options);
}

int DeveloperFormModel::keyframeIntervalIndex() const {
    return controller() ? qindex(keyframeIntervalPicker(settings()).selected) : -1;
}

QVariantList DeveloperFormModel::engines() const {
    QVariantList list;
    for (const auto& row : engineRows(status())) {
        list.append(QVariantMap{{"kind", qtext(row.kind)},
                                {"title", qtext(row.title)},
                                {"clientCount", row.clientCount},
                                {"detail", qtext(row.detail)},
                                {"isOn", row.isOn},
                                {"isSwitchable", row.isSwitchable}});
    }
    return list;
}

void DeveloperFormModel::chooseStudioBitrate(int index) {
    if (isOption(index, studioBitratePicker(settings()))) {
        editField(&SenderSettings::studioBitrateKbps, studioBitrateOption(static_cast<size_t>(index)));
    }
}

void DeveloperFormModel::chooseBitrate(int kbps) {
    editField(&SenderSettings::bitrateKbps,
              std::clamp(kbps, BitrateStepper::minimumKbps, BitrateStepper::maximumKbps));
}

void DeveloperFormModel::chooseKeyframeInterval(int index) {
    if (isOption(index, keyframeIntervalPicker(settings()))) {
        editField(&SenderSettings::keyframeInterval, keyframeIntervalOption(static_cast<size_t>(index)));
    }
}

void DeveloperFormModel::setEngine(int row, bool on) {
    SenderController* c = controller();
    const auto rows = engineRows(status());
    if (!c || row < 0 || static_cast<size_t>(row) >= rows.size() ||
        !rows[static_cast<size_t>(row)].isSwitchable) {
        return;
    }
    c->setEngine(rows[static_cast<size_t>(row)].kind, on);
}

// --- info ---

InfoFormModel::InfoFormModel(QObject* parent)
    : SettingsFormModel(parent), addressSource_([] { return localIPv4Addresses(); }) {}

void InfoFormModel::setAddressSource(std::function<std::vector<std::string>()> source) {
    addressSource_ = std::move(source);
    emit changed();
}

void InfoFormModel::observe(SenderController& controller) {
    connect(&controller, &SenderController::statusChanged, this, &SettingsFormModel::changed);
}

QString InfoFormModel::controlPort() const {
    return qtext(controlPortText(status()));
}

QStringList InfoFormModel::addresses() const {
    return qtexts(addressTexts(addressSource_(), status()));
}

QString InfoFormModel::hevcHardware() const {
    return qtext(hevcHardwareText(status()));
}

QString InfoFormModel::networkError() const {
    return qtext(status().networkError.value_or(""));
}

QString InfoFormModel::version() {
    return qtext(appVersionText());
}

}  // namespace kelvora
