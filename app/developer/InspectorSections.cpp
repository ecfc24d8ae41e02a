#include "app/developer/InspectorSections.h"

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

void InspectorSection::setControllerObject(QObject* object) {
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

const SenderSettings& InspectorSection::settings() const {
    return controller_ ? controller_->settings() : noSettings();
}

const SenderStatus& InspectorSection::status() const {
    return controller_ ? controller_->status() : noStatus();
}

// --- video source ---

InspectorSourceSection::InspectorSourceSection(QObject* parent) : InspectorSection(parent) {
    setDefaults(UserDefaults::standard());
}

void InspectorSourceSection::setDefaults(UserDefaults& defaults) {
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

void InspectorSourceSection::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::devicesChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::ndiSourcesChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::isPreparingSampleVideoChanged, this, &InspectorSection::changed);
}

SourceSectionState InspectorSourceSection::state() const {
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

QVariantList InspectorSourceSection::rows() const {
    QVariantList list;
    for (const auto& row : sourceRows(state())) {
        list.append(QVariantMap{{"text", qtext(row.text)}, {"symbol", qtext(row.symbol)}});
    }
    return list;
}

int InspectorSourceSection::selectedRow() const {
    const auto current = state();
    return qindex(selectedSourceRow(sourceRows(current),
                                    currentSourceChoice(current.settings, current.isUsingSampleVideo)));
}

bool InspectorSourceSection::showsOtherFileButton() const {
    return kelvora::showsOtherFileButton(state());
}

QString InspectorSourceSection::reconnectHelp() const {
    return qtext(kelvora::reconnectHelp(autoSourceRecovery_));
}

bool InspectorSourceSection::ndiAvailable() const {
    return controller() && controller()->isNDIAvailable();
}

QString InspectorSourceSection::automaticFooter() {
    return qtext(sourceFooter(false).automatic);
}

QString InspectorSourceSection::ndiFooter() const {
    return qtext(sourceFooter(ndiAvailable()).ndi);
}

QString InspectorSourceSection::ndiLink() const {
    return qtext(sourceFooter(ndiAvailable()).ndiLink);
}

QString InspectorSourceSection::ndiLinkHost() const {
    return qtext(sourceFooter(ndiAvailable()).ndiLinkHost);
}

QString InspectorSourceSection::trademark() const {
    return qtext(sourceFooter(ndiAvailable()).trademark);
}

void InspectorSourceSection::choose(int row) {
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
            // A stored file that has gone is never handed over: the user picks another one instead.
            const auto& path = c->settings().videoFilePath;
            std::error_code error;
            if (path && std::filesystem::is_regular_file(*path, error)) {
                c->useVideoFile(*path);
            } else {
                c->chooseVideoFile();
            }
            break;
        }
    }
}

void InspectorSourceSection::chooseOtherFile() {
    if (SenderController* c = controller()) {
        c->chooseVideoFile();
    }
}

void InspectorSourceSection::reconnect() {
    if (SenderController* c = controller()) {
        c->pipeline()->reconnectSource("manuell");
    }
}

// --- picture ---

void InspectorPictureSection::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::statusChanged, this, &InspectorSection::changed);
}

QStringList InspectorPictureSection::resolutionOptions() {
    return qtexts(resolutionPicker({}).options);
}

int InspectorPictureSection::resolutionIndex() const {
    return controller() ? qindex(resolutionPicker(settings()).selected) : -1;
}

QStringList InspectorPictureSection::frameRateOptions() {
    return qtexts(frameRatePicker({}).options);
}

int InspectorPictureSection::frameRateIndex() const {
    return controller() ? qindex(frameRatePicker(settings()).selected) : -1;
}

QStringList InspectorPictureSection::maximumFrameRateOptions() {
    return qtexts(maximumFrameRatePicker({}).options);
}

int InspectorPictureSection::maximumFrameRateIndex() const {
    return controller() ? qindex(maximumFrameRatePicker(settings()).selected) : -1;
}

QStringList InspectorPictureSection::codecOptions() {
    return qtexts(codecPicker({}).options);
}

int InspectorPictureSection::codecIndex() const {
    return controller() ? qindex(codecPicker(settings()).selected) : -1;
}

bool InspectorPictureSection::codecEnabled() const {
    return controller() && status().hevcHardwareAvailable;
}

QStringList InspectorPictureSection::qualityOptions() {
    return qtexts(qualityPicker({}).options);
}

int InspectorPictureSection::qualityIndex() const {
    return controller() ? qindex(qualityPicker(settings()).selected) : -1;
}

QString InspectorPictureSection::summary() const {
    return controller() ? qtext(formatSummary(settings(), status())) : QString();
}

void InspectorPictureSection::chooseResolution(int index) {
    if (!controller() || !isOption(index, resolutionPicker(settings()))) {
        return;
    }
    const auto value = resolutionOption(static_cast<size_t>(index));
    editField(&SenderSettings::autoResolution, !value.has_value());
    if (value) {
        editField(&SenderSettings::resolution, *value);
    }
}

void InspectorPictureSection::chooseFrameRate(int index) {
    if (!controller() || !isOption(index, frameRatePicker(settings()))) {
        return;
    }
    const auto value = frameRateOption(static_cast<size_t>(index));
    editField(&SenderSettings::autoFrameRate, !value.has_value());
    if (value) {
        editField(&SenderSettings::frameRate, *value);
    }
}

void InspectorPictureSection::chooseMaximumFrameRate(int index) {
    if (isOption(index, maximumFrameRatePicker(settings()))) {
        editField(&SenderSettings::maximumFrameRate, maximumFrameRateOption(static_cast<size_t>(index)));
    }
}

void InspectorPictureSection::chooseCodec(int index) {
    if (codecEnabled() && isOption(index, codecPicker(settings()))) {
        editField(&SenderSettings::preferredCodec, codecOption(static_cast<size_t>(index)));
    }
}

void InspectorPictureSection::chooseQuality(int index) {
    if (isOption(index, qualityPicker(settings()))) {
        editField(&SenderSettings::studioMode, qualityOption(static_cast<size_t>(index)));
    }
}

// --- general ---

void InspectorGeneralSection::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::launchAtLoginChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::loginItemNeedsApprovalChanged, this, &InspectorSection::changed);
}

bool InspectorGeneralSection::launchAtLogin() const {
    return controller() && controller()->launchAtLogin();
}

void InspectorGeneralSection::setLaunchAtLogin(bool on) {
    if (SenderController* c = controller()) {
        c->setLaunchAtLogin(on);
    }
}

bool InspectorGeneralSection::needsApproval() const {
    return controller() && controller()->loginItemNeedsApproval();
}

void InspectorGeneralSection::openLoginItemSettings() {
    if (SenderController* c = controller()) {
        c->openLoginItemSettings();
    }
}

// --- developer ---

void InspectorDeveloperSection::observe(SenderController& controller) {
    connect(&controller, &SenderController::settingsChanged, this, &InspectorSection::changed);
    connect(&controller, &SenderController::statusChanged, this, &InspectorSection::changed);
}

bool InspectorDeveloperSection::showsStudioBitrate() const {
    return controller() && bitrateControl(settings()) == BitrateControl::studioPicker;
}

QStringList InspectorDeveloperSection::studioBitrateOptions() {
    return qtexts(studioBitratePicker({}).options);
}

int InspectorDeveloperSection::studioBitrateIndex() const {
    return controller() ? qindex(studioBitratePicker(settings()).selected) : -1;
}

bool InspectorDeveloperSection::showsBitrateStepper() const {
    return controller() && bitrateControl(settings()) == BitrateControl::stepper;
}

QString InspectorDeveloperSection::bitrateLabel() const {
    return qtext(bitrateStepperLabel(settings().bitrateKbps));
}

bool InspectorDeveloperSection::adaptFrameRateFirstEnabled() const {
    return controller() && developerToggles(settings()).adaptFrameRateFirstEnabled;
}

bool InspectorDeveloperSection::hotStandbyProxyEnabled() const {
    return controller() && developerToggles(settings()).hotStandbyProxyEnabled;
}

QStringList InspectorDeveloperSection::keyframeIntervalOptions() {
    return qtexts(keyframeIntervalPicker({}).options);
}

int InspectorDeveloperSection::keyframeIntervalIndex() const {
    return controller() ? qindex(keyframeIntervalPicker(settings()).selected) : -1;
}

QVariantList InspectorDeveloperSection::engines() const {
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

void InspectorDeveloperSection::chooseStudioBitrate(int index) {
    if (isOption(index, studioBitratePicker(settings()))) {
        editField(&SenderSettings::studioBitrateKbps, studioBitrateOption(static_cast<size_t>(index)));
    }
}

void InspectorDeveloperSection::chooseBitrate(int kbps) {
    editField(&SenderSettings::bitrateKbps,
              std::clamp(kbps, BitrateStepper::minimumKbps, BitrateStepper::maximumKbps));
}

void InspectorDeveloperSection::chooseKeyframeInterval(int index) {
    if (isOption(index, keyframeIntervalPicker(settings()))) {
        editField(&SenderSettings::keyframeInterval, keyframeIntervalOption(static_cast<size_t>(index)));
    }
}

void InspectorDeveloperSection::setEngine(int row, bool on) {
    SenderController* c = controller();
    const auto rows = engineRows(status());
    if (!c || row < 0 || static_cast<size_t>(row) >= rows.size() ||
        !rows[static_cast<size_t>(row)].isSwitchable) {
        return;
    }
    c->setEngine(rows[static_cast<size_t>(row)].kind, on);
}

// --- info ---

InspectorInfoSection::InspectorInfoSection(QObject* parent)
    : InspectorSection(parent), addressSource_([] { return localIPv4Addresses(); }) {}

void InspectorInfoSection::setAddressSource(std::function<std::vector<std::string>()> source) {
    addressSource_ = std::move(source);
    emit changed();
}

void InspectorInfoSection::observe(SenderController& controller) {
    connect(&controller, &SenderController::statusChanged, this, &InspectorSection::changed);
}

QString InspectorInfoSection::controlPort() const {
    return qtext(controlPortText(status()));
}

QStringList InspectorInfoSection::addresses() const {
    return qtexts(addressTexts(addressSource_(), status()));
}

QString InspectorInfoSection::hevcHardware() const {
    return qtext(hevcHardwareText(status()));
}

QString InspectorInfoSection::networkError() const {
    return qtext(status().networkError.value_or(""));
}

QString InspectorInfoSection::version() {
    return qtext(appVersionText());
}

}  // namespace kelvora
