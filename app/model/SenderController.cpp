#include "app/model/SenderController.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <algorithm>
#include <set>

#include "app/model/LinuxPlatformServices.h"
#include "app/model/StatusText.h"
#include "core/Log.h"
#include "platform/Uuid.h"
#include "sender/pipeline/SenderIdentity.h"
#include "sender/pipeline/VideoEncoder.h"
#include "sender/sources/NDIRuntime.h"
#include "sender/sources/SampleVideoGenerator.h"

namespace kelvora {
namespace {

constexpr const char* kSimpleStreamEnabledKey = "SimpleStreamEnabled";
constexpr const char* kSimpleStreamBitrateKey = "SimpleStreamBitrateKbps";
constexpr const char* kDidShowOnboardingKey = "DidShowOnboarding";
constexpr const char* kDidConfigureLoginItemKey = "DidConfigureLoginItem";
constexpr int kDefaultSimpleStreamKbps = 8000;

int clampedSimpleStreamKbps(int64_t kbps) {
    return static_cast<int>(std::clamp<int64_t>(kbps, SenderController::kMinimumSimpleStreamKbps,
                                                SenderController::kMaximumSimpleStreamKbps));
}

std::string trimmedBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first entry per id, at most three: two entries with one id would otherwise take each other's output
// away on every settings change.
std::vector<OutputSettings> wantedOutputs(const std::vector<OutputSettings>& entries) {
    std::vector<OutputSettings> wanted;
    std::set<std::string> seen;
    for (const auto& entry : entries) {
        if (wanted.size() == static_cast<size_t>(SenderController::kMaximumExtraOutputs)) {
            break;
        }
        if (seen.insert(entry.id).second) {
            wanted.push_back(entry);
        }
    }
    return wanted;
}

// Explains instead of opening settings this system does not have; answers "cancel".
class LoggingAlertPresenter final : public AlertPresenter {
  public:
    size_t run(const Alert& alert) override {
        Log::capture().info("{}: {}", alert.message, alert.informativeText);
        return alert.buttons.empty() ? 0 : alert.buttons.size() - 1;
    }
};

class NoFilePicker final : public FilePicker {
  public:
    std::optional<std::filesystem::path> choose(const FileRequest&) override { return std::nullopt; }
};

}  // namespace

SenderControllerServices SenderControllerServices::system() {
    SenderControllerServices services;
    services.defaults = &UserDefaults::standard();
    services.pipelines = PipelineFactory::real();
    services.previews = [](VideoDimensions size) { return std::make_shared<RendererPreview>(size); };
    std::error_code error;
    services.loginItem = std::make_shared<XdgAutostartLoginItem>(
        XdgAutostartLoginItem::defaultFolder(), std::filesystem::read_symlink("/proc/self/exe", error));
    services.cameraAccess = std::make_shared<DeviceNodeCameraAccess>();
    services.hostInfo = std::make_shared<SystemHostInfo>();
    services.alerts = std::make_shared<LoggingAlertPresenter>();
    services.filePicker = std::make_shared<NoFilePicker>();
    services.devices = systemDeviceList();
    services.ndiSources = systemNDIList();
    services.sampleVideo = systemSampleVideo();
    services.ndiAvailable = NDIRuntime::isAvailable();
    services.registerNDILicense = [] { NDIRuntime::licenseNotice(); };
    services.hevcHardware = [] { return VideoEncoder::capabilities().hevcHardware; };
    return services;
}

SenderController& SenderController::shared() {
    // Deliberately never deleted (see the declaration).
    static SenderController* controller = [] {
        UserDefaults::standard().registerDefaults({{kDeveloperModeKey, true}});
        return new SenderController(SenderControllerServices::system());
    }();
    return *controller;
}

SenderController::SenderController(SenderControllerServices services, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      hop_(std::make_shared<MainThreadHop>(this)),
      writer_(std::make_unique<DefaultsWriter>(*services_.defaults)) {
    UserDefaults& defaults = *services_.defaults;
    defaults.registerDefaults({{kDeveloperModeKey, true}});

    cameraAuthorization_ = services_.cameraAccess->status();
    isDeveloperMode_ = defaults.boolValue(kDeveloperModeKey).value_or(true);
    showsOnboarding_ = !defaults.boolValue(kDidShowOnboardingKey).value_or(false);
    simpleStreamEnabled_ = defaults.boolValue(kSimpleStreamEnabledKey).value_or(false);
    // A stored bitrate the slider cannot reach counts as missing, as every stored number out of range does.
    const auto storedKbps = defaults.integer(kSimpleStreamBitrateKey);
    simpleStreamBitrateKbps_ = storedKbps && clampedSimpleStreamKbps(*storedKbps) == *storedKbps
                                   ? static_cast<int>(*storedKbps)
                                   : kDefaultSimpleStreamKbps;

    settings_ = loadSettings(defaults, services_.hevcHardware ? services_.hevcHardware() : false);
    previewRenderer_ = services_.previews(VideoDimensions{1280, 720});
    menuPreviewRenderer_ = services_.previews(VideoDimensions{640, 360});
    tierMonitor_ = EncodedStreamMonitor::create();

    // Stored at once rather than through the writer: of two programs starting at once, the second must find
    // the id the first made.
    try {
        senderID_ = persistentSenderID(defaults);
    } catch (const UserDefaultsError& error) {
        senderID_ = newUuid();
        Log::capture().error("Einstellung „{}“ nicht gespeichert: {}", kSenderIDKey, error.what());
    }
    pipeline_ = services_.pipelines.makePipeline(settings_, senderID_);
    refreshLoginItemStatus();
    developerModeObserver_ = defaults.observe(
        kDeveloperModeKey, [weak = std::weak_ptr(hop_), this](const std::optional<UserDefaults::Json>&) {
            if (auto hop = weak.lock()) {
                hop->post([this] { handleDeveloperModeDefault(); });
            }
        });
}

SenderController::~SenderController() {
    stop();
}

template <class T>
bool SenderController::assign(T& field, const T& value, void (SenderController::*changed)()) {
    if (field == value) {
        return false;
    }
    field = value;
    emit(this->*changed)();
    return true;
}

// --- start and stop ---

void SenderController::start() {
    if (isStarted_ || isStopped_) {
        return;
    }
    pipeline_->setStatusHandler(MainThreadHop::bind<SenderStatus>(
        hop_, [this](const SenderStatus& status) { handleStatus(status); }));
    pipeline_->setEncodedFrameHandler(
        [monitor = tierMonitor_](const EncodedVideoFrame& frame) { monitor->submit(frame); });
    pipeline_->setTuningRequestHandler(tuningHandler());
    pipeline_->setPreviewHandler([gate = previewGate_, main = previewRenderer_,
                                  menu = menuPreviewRenderer_](const SourceFrame& frame) {
        gatePreviewFrame(frame, *gate, *main, *menu);
    });
    requestCameraAccess();
    pipeline_->start();
    applySimpleStream();
    assign(isStarted_, true, &SenderController::isStartedChanged);
    syncExtraOutputs();
    services_.devices->start(MainThreadHop::bind<CaptureDeviceList>(
        hop_, [this](const CaptureDeviceList& list) { handleDevicesChanged(list); }));
    services_.ndiSources->start(MainThreadHop::bind<NDISourceList>(hop_, [this](const NDISourceList& list) {
        assign(ndiSources_, list, &SenderController::ndiSourcesChanged);
    }));
    if (services_.ndiAvailable && services_.registerNDILicense) {
        services_.registerNDILicense();
    }
}

void SenderController::stop() {
    if (isStopped_) {
        return;
    }
    isStopped_ = true;
    // From here on no callback of another thread reaches the controller.
    hop_->close();
    developerModeObserver_.cancel();
    services_.devices->stop();
    services_.ndiSources->stop();
    if (simpleStreamer_) {
        pipeline_->setSimpleStream(nullptr);
        simpleStreamer_->stop();
        simpleStreamer_.reset();
    }
    pipeline_->setStatusHandler(nullptr);
    pipeline_->setPreviewHandler(nullptr);
    pipeline_->setEncodedFrameHandler(nullptr);
    pipeline_->setTuningRequestHandler(nullptr);
    pipeline_->stop();
    for (ExtraOutput* output : extraOutputs_) {
        output->shutDown();
    }
    tierMonitor_->setEnabled(false);
    sampleVideoJob_ = std::jthread();
    writer_->close();
}

// --- settings ---

void SenderController::setSettings(const SenderSettings& settings) {
    if (!assign(settings_, settings, &SenderController::settingsChanged)) {
        return;
    }
    saveSettings();
    if (isStopped_) {
        return;
    }
    pipeline_->updateSettings(settings_);
    syncExtraOutputs();
}

void SenderController::saveSettings() {
    if (auto data = settingsData(settings_)) {
        writer_->set(kSettingsKey, std::move(*data));
    }
}

void SenderController::flushSettings() {
    writer_->flush();
}

template <class Edit>
void SenderController::editSettings(Edit edit) {
    SenderSettings next = settings_;
    edit(next);
    setSettings(next);
}

void SenderController::setEngine(const std::string& name, bool enabled) {
    std::set<std::string> names(settings_.enabledEngines.begin(), settings_.enabledEngines.end());
    if (enabled) {
        names.insert(name);
    } else {
        names.erase(name);
    }
    editSettings([&](SenderSettings& s) { s.enabledEngines = canonicalEngines(names); });
}

// --- sources ---

void SenderController::selectDevice(const std::optional<std::string>& id) {
    editSettings([](SenderSettings& s) { s.useTestPattern = false; });
    editSettings([](SenderSettings& s) { s.useVideoFile = false; });
    editSettings([&](SenderSettings& s) { s.preferredDeviceID = id; });
    if (isPaused_) {
        togglePause();
    }
}

void SenderController::selectTestPattern() {
    editSettings([](SenderSettings& s) { s.useVideoFile = false; });
    editSettings([](SenderSettings& s) { s.useTestPattern = true; });
    if (isPaused_) {
        togglePause();
    }
}

void SenderController::useVideoFile(const std::filesystem::path& file) {
    editSettings([](SenderSettings& s) { s.useTestPattern = false; });
    editSettings([&](SenderSettings& s) { s.videoFilePath = file.string(); });
    editSettings([](SenderSettings& s) { s.useVideoFile = true; });
    if (isPaused_) {
        togglePause();
    }
}

void SenderController::chooseVideoFile() {
    FileRequest request;
    request.title = "Videodatei zum Senden wählen";
    const QStringList movies = QStandardPaths::standardLocations(QStandardPaths::MoviesLocation);
    if (!movies.isEmpty()) {
        request.folder = movies.first().toStdString();
    }
    request.nameFilters = {"Videodateien (*.mov *.mp4 *.m4v *.mkv *.avi *.webm *.mts *.m2ts *.ts)"};
    if (auto file = services_.filePicker->choose(request)) {
        useVideoFile(*file);
    }
}

void SenderController::useSampleVideo() {
    if (isPreparingSampleVideo_ || isStopped_) {
        return;
    }
    assign(sampleVideoError_, QString(), &SenderController::sampleVideoErrorChanged);
    if (services_.sampleVideo->exists()) {
        useVideoFile(services_.sampleVideo->path());
        return;
    }
    assign(isPreparingSampleVideo_, true, &SenderController::isPreparingSampleVideoChanged);
    auto finish = [weak = std::weak_ptr(hop_), this](std::optional<std::filesystem::path> file,
                                                     std::string error) {
        if (auto hop = weak.lock()) {
            hop->post([this, file, error] {
                if (file) {
                    useVideoFile(*file);
                } else {
                    assign(sampleVideoError_, QString::fromStdString(error),
                           &SenderController::sampleVideoErrorChanged);
                }
                assign(isPreparingSampleVideo_, false, &SenderController::isPreparingSampleVideoChanged);
            });
        }
    };
    sampleVideoJob_ = std::jthread([sample = services_.sampleVideo, finish](std::stop_token stop) {
        try {
            finish(sample->generate(stop), {});
        } catch (const SampleVideoError& error) {
            finish(std::nullopt, error.what());
        } catch (const std::exception& error) {
            Log::capture().error("Beispielvideo: {}", error.what());
            finish(std::nullopt, "Das Beispielvideo konnte nicht erzeugt werden.");
        }
    });
}

bool SenderController::isUsingSampleVideo() const {
    return settings_.useVideoFile && storesSampleVideo();
}

bool SenderController::storesSampleVideo() const {
    return settings_.videoFilePath && *settings_.videoFilePath == services_.sampleVideo->path().string();
}

std::optional<std::string> SenderController::videoFileDisplayName() const {
    if (!settings_.videoFilePath) {
        return std::nullopt;
    }
    if (storesSampleVideo()) {
        return "Beispielvideo";
    }
    return std::filesystem::path(*settings_.videoFilePath).stem().string();
}

// --- extra outputs ---

template <class Edit>
void SenderController::editOutput(const std::string& id, Edit edit) {
    auto& outputs = settings_.extraOutputs;
    const auto it = std::find_if(outputs.begin(), outputs.end(), [&](const auto& o) { return o.id == id; });
    if (it == outputs.end()) {
        return;
    }
    const auto index = static_cast<size_t>(it - outputs.begin());
    editSettings([&](SenderSettings& s) { edit(s.extraOutputs[index]); });
}

void SenderController::addOutput() {
    const auto count = settings_.extraOutputs.size();
    if (count >= static_cast<size_t>(kMaximumExtraOutputs)) {
        return;
    }
    editSettings([&](SenderSettings& s) {
        OutputSettings output;
        output.id = newUuid();
        output.name = "Ausgang " + std::to_string(count + 2);
        s.extraOutputs.push_back(std::move(output));
    });
}

void SenderController::removeOutput(const std::string& id) {
    editSettings(
        [&](SenderSettings& s) { std::erase_if(s.extraOutputs, [&](const auto& o) { return o.id == id; }); });
}

void SenderController::renameOutput(const std::string& id, const std::string& name) {
    const std::string trimmed = trimmedBlanks(name);
    if (trimmed.empty()) {
        return;
    }
    editOutput(id, [&](OutputSettings& o) { o.name = trimmed; });
}

void SenderController::setOutputSource(const std::string& id, const std::optional<std::string>& sourceID) {
    editOutput(id, [&](OutputSettings& o) { o.sourceID = sourceID; });
}

void SenderController::setOutputFormat(const std::string& id,
                                       const std::optional<VideoDimensions>& resolution,
                                       const std::optional<int>& frameRate) {
    editOutput(id, [&](OutputSettings& o) { o.resolution = resolution; });
    editOutput(id, [&](OutputSettings& o) { o.frameRate = frameRate; });
}

std::optional<OutputSettings> SenderController::outputSettings(const std::string& id) const {
    for (const auto& output : settings_.extraOutputs) {
        if (output.id == id) {
            return output;
        }
    }
    return std::nullopt;
}

std::vector<std::pair<ClientStatus, std::string>> SenderController::receivers() const {
    std::vector<std::pair<ClientStatus, std::string>> result;
    const std::string mainName = displayName();
    for (const auto& client : status_.clients) {
        result.emplace_back(client, mainName);
    }
    for (const ExtraOutput* output : extraOutputs_) {
        const auto entry = outputSettings(output->id());
        const std::string name = entry ? entry->name : "Ausgang " + std::to_string(output->number());
        for (const auto& client : output->status().clients) {
            result.emplace_back(client, name);
        }
    }
    return result;
}

void SenderController::syncExtraOutputs() {
    if (!isStarted_ || isStopped_) {
        return;
    }
    const std::vector<OutputSettings> wanted = wantedOutputs(settings_.extraOutputs);
    QList<ExtraOutput*> running = extraOutputs_;
    const auto isWanted = [&](const ExtraOutput* output) {
        return std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.id == output->id(); });
    };
    const auto drop = [&](ExtraOutput* output) {
        output->shutDown();
        running.removeOne(output);
        output->deleteLater();
    };
    for (ExtraOutput* output : QList<ExtraOutput*>(running)) {
        if (!isWanted(output)) {
            drop(output);
        }
    }
    QList<ExtraOutput*> next;
    for (size_t i = 0; i < wanted.size(); ++i) {
        const OutputSettings& entry = wanted[i];
        const int number = static_cast<int>(i) + 2;
        const SenderSettings derived = settings_.forExtraOutput(entry, number);
        const auto found = std::find_if(running.begin(), running.end(),
                                        [&](const ExtraOutput* o) { return o->id() == entry.id; });
        if (found != running.end() && (*found)->number() == number) {
            (*found)->pipeline()->updateSettings(derived);
            next.append(*found);
            continue;
        }
        if (found != running.end()) {
            drop(*found);
        }
        auto pipeline = services_.pipelines.makePipeline(derived, senderID_ + "-" + entry.id);
        pipeline->setTuningRequestHandler(tuningHandler());
        auto* output =
            new ExtraOutput(entry.id, number, pipeline, services_.previews(VideoDimensions{960, 540}), this);
        // Paused before it starts, so that its camera never opens while everything is paused.
        if (isPaused_) {
            pipeline->setPaused(true);
        }
        output->start(devices_);
        next.append(output);
    }
    assign(extraOutputs_, next, &SenderController::extraOutputsChanged);
}

// --- pause, developer mode, login item, camera ---

void SenderController::setPaused(OutputPipeline& pipeline, bool sourcePaused) {
    pipeline.setPaused(isPaused_ || sourcePaused);
}

void SenderController::togglePause() {
    assign(isPaused_, !isPaused_, &SenderController::isPausedChanged);
    if (isStopped_) {
        return;
    }
    setPaused(*pipeline_, isMainSourcePaused_);
    for (ExtraOutput* output : extraOutputs_) {
        setPaused(*output->pipeline(), output->isSourcePaused());
    }
    if (isPaused_) {
        previewRenderer_->clear();
        menuPreviewRenderer_->clear();
    }
}

void SenderController::toggleMainSourcePause() {
    assign(isMainSourcePaused_, !isMainSourcePaused_, &SenderController::isMainSourcePausedChanged);
    if (isStopped_) {
        return;
    }
    setPaused(*pipeline_, isMainSourcePaused_);
    if (isMainSourcePaused_) {
        previewRenderer_->clear();
        menuPreviewRenderer_->clear();
    }
}

void SenderController::toggleOutputPause(const std::string& id) {
    const auto it = std::find_if(extraOutputs_.begin(), extraOutputs_.end(),
                                 [&](const ExtraOutput* o) { return o->id() == id; });
    if (it == extraOutputs_.end() || isStopped_) {
        return;
    }
    ExtraOutput& output = **it;
    output.setSourcePaused(!output.isSourcePaused());
    setPaused(*output.pipeline(), output.isSourcePaused());
    if (output.isSourcePaused()) {
        output.previewRenderer()->clear();
    }
}

void SenderController::setDeveloperMode(bool enabled) {
    if (!assign(isDeveloperMode_, enabled, &SenderController::isDeveloperModeChanged)) {
        return;
    }
    if (writer_->boolValue(kDeveloperModeKey).value_or(true) != enabled) {
        writer_->set(kDeveloperModeKey, enabled);
    }
    if (!enabled) {
        leaveDeveloperMode();
    }
}

void SenderController::leaveDeveloperMode() {
    setShowsTierComparison(false);
    if (settings_.useTestPattern || settings_.useVideoFile) {
        selectDevice(settings_.preferredDeviceID);
    }
    const bool anyTestPattern = std::any_of(settings_.extraOutputs.begin(), settings_.extraOutputs.end(),
                                            [](const auto& o) { return o.sourceID == "testpattern"; });
    if (anyTestPattern) {
        editSettings([](SenderSettings& s) {
            for (auto& output : s.extraOutputs) {
                if (output.sourceID == "testpattern") {
                    output.sourceID.reset();
                }
            }
        });
    }
}

void SenderController::handleDeveloperModeDefault() {
    const bool stored = writer_->boolValue(kDeveloperModeKey).value_or(true);
    if (stored != isDeveloperMode_) {
        setDeveloperMode(stored);
    }
}

void SenderController::setLaunchAtLogin(bool enabled) {
    try {
        if (enabled) {
            services_.loginItem->registerItem();
        } else {
            services_.loginItem->unregisterItem();
        }
    } catch (const std::exception& error) {
        Log::capture().error("Login-Objekt: {}", error.what());
    }
    refreshLoginItemStatus();
}

void SenderController::refreshLoginItemStatus() {
    const LoginItemStatus status = services_.loginItem->status();
    assign(launchAtLogin_, status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval,
           &SenderController::launchAtLoginChanged);
    assign(loginItemNeedsApproval_, status == LoginItemStatus::requiresApproval,
           &SenderController::loginItemNeedsApprovalChanged);
}

void SenderController::configureLoginItemOnce() {
    if (writer_->boolValue(kDidConfigureLoginItemKey).value_or(false)) {
        return;
    }
    writer_->set(kDidConfigureLoginItemKey, true);
    setLaunchAtLogin(true);
}

void SenderController::requestCameraAccess() {
    assign(cameraAuthorization_, services_.cameraAccess->status(),
           &SenderController::cameraAuthorizationChanged);
    if (cameraAuthorization_ == CameraAuthorization::notDetermined) {
        services_.cameraAccess->request(
            MainThreadHop::bind<bool>(hop_, [this](bool granted) { handleCameraAccessResult(granted); }));
    }
}

void SenderController::handleCameraAccessResult(bool granted) {
    assign(cameraAuthorization_, services_.cameraAccess->status(),
           &SenderController::cameraAuthorizationChanged);
    if (!granted || isStopped_) {
        return;
    }
    // Every output may have been refused its camera, not only the main one.
    pipeline_->updateDevices(devices_);
    for (ExtraOutput* output : extraOutputs_) {
        output->pipeline()->updateDevices(devices_);
    }
}

void SenderController::openCameraPrivacySettings() {
    services_.alerts->run(Alert{
        "Kamerazugriff erlauben",
        "Dieses System fragt nicht nach einer Kamerafreigabe: Tilvara öffnet Kameras und Capture-Karten über "
        "ihre Geräte /dev/video*. Dein Benutzer muss dazu Mitglied der Gruppe „video“ sein (zum Beispiel mit "
        "„sudo usermod -aG video $USER“); nach der nächsten Anmeldung gilt die Mitgliedschaft.",
        {"OK"}});
}

void SenderController::openLoginItemSettings() {
    services_.alerts->run(
        Alert{"Beim Anmelden starten",
              "Dieses System fragt nicht nach einer Freigabe: Tilvara startet beim Anmelden über den Eintrag "
              "„app.kelvora.sender.desktop“ im Ordner ~/.config/autostart. Ausschalten lässt es sich hier "
              "oder in den "
              "Autostart-Einstellungen deiner Arbeitsumgebung.",
              {"OK"}});
}

void SenderController::showDeckLinkSetup() {
    // The vendor's Linux driver offers its inputs only through the vendor's own programming interface, not as
    // /dev/video devices, and this program captures from those devices alone: installing the driver never
    // makes a card appear here, so the alert must not say it would.
    services_.alerts->run(Alert{"DeckLink/UltraStudio einrichten",
                                "Blackmagic Desktop Video stellt DeckLink- und UltraStudio-Eingänge unter "
                                "Linux nur über die eigene Schnittstelle des Herstellers bereit, nicht als "
                                "Videogeräte (/dev/video*). Tilvara nimmt nur von Videogeräten auf, deshalb "
                                "werden diese Karten hier nicht als Quelle angeboten. Kameras und "
                                "Capture-Karten, die als Videogerät erscheinen, stehen weiter als Quelle "
                                "zur Wahl.",
                                {"OK"}});
}

void SenderController::finishOnboarding() {
    setShowsOnboarding(false);
    writer_->set(kDidShowOnboardingKey, true);
}

void SenderController::setShowsOnboarding(bool shows) {
    assign(showsOnboarding_, shows, &SenderController::showsOnboardingChanged);
}

// --- simple stream ---

void SenderController::setSimpleStreamEnabled(bool enabled) {
    if (!assign(simpleStreamEnabled_, enabled, &SenderController::simpleStreamEnabledChanged)) {
        return;
    }
    writer_->set(kSimpleStreamEnabledKey, enabled);
    applySimpleStream();
}

void SenderController::setSimpleStreamBitrateKbps(int kbps) {
    const int clamped = clampedSimpleStreamKbps(kbps);
    assign(simpleStreamBitrateKbps_, clamped, &SenderController::simpleStreamBitrateKbpsChanged);
    writer_->set(kSimpleStreamBitrateKey, clamped);
    if (simpleStreamer_) {
        simpleStreamer_->updateBitrate(clamped);
    }
}

void SenderController::applySimpleStream() {
    if (isStopped_) {
        return;
    }
    if (simpleStreamEnabled_ && !simpleStreamer_) {
        auto streamer = services_.pipelines.makeSimpleStream(displayName() + " (H.264 einfach)",
                                                             simpleStreamBitrateKbps_);
        streamer->setClientCountHandler(MainThreadHop::bind<int>(hop_, [this](int count) {
            assign(simpleStreamClients_, count, &SenderController::simpleStreamClientsChanged);
        }));
        if (auto problem = streamer->start()) {
            // The wish stays: switching off and on again tries once more.
            streamer->stop();
            Log::network().error("Einfacher Stream startet nicht: {}", *problem);
            assign(simpleStreamError_,
                   QStringLiteral("Port 47900 ist belegt – der einfache Stream läuft nicht."),
                   &SenderController::simpleStreamErrorChanged);
            return;
        }
        pipeline_->setSimpleStream(streamer);
        simpleStreamer_ = std::move(streamer);
        assign(simpleStreamError_, QString(), &SenderController::simpleStreamErrorChanged);
    } else if (!simpleStreamEnabled_) {
        if (simpleStreamer_) {
            pipeline_->setSimpleStream(nullptr);
            simpleStreamer_->stop();
            simpleStreamer_.reset();
        }
        assign(simpleStreamClients_, 0, &SenderController::simpleStreamClientsChanged);
        assign(simpleStreamError_, QString(), &SenderController::simpleStreamErrorChanged);
    }
}

// --- tuning, status, tier comparison, previews ---

std::function<void(StreamTuning)> SenderController::tuningHandler() {
    return MainThreadHop::bind<StreamTuning>(
        hop_, [this](const StreamTuning& tuning) { handleTuningRequest(tuning); });
}

void SenderController::handleTuningRequest(const StreamTuning& tuning) {
    if (!settings_.remoteTuningAllowed) {
        return;
    }
    setSettings(settings_.applying(tuning));
}

void SenderController::handleStatus(const SenderStatus& status) {
    assign(status_, status, &SenderController::statusChanged);
    if (showsTierComparison_) {
        assign(tierInfos_, tierMonitor_->tierInfos(), &SenderController::tierInfosChanged);
    }
}

void SenderController::handleDevicesChanged(const CaptureDeviceList& list) {
    assign(devices_, list, &SenderController::devicesChanged);
    pipeline_->updateDevices(list);
    for (ExtraOutput* output : extraOutputs_) {
        output->pipeline()->updateDevices(list);
    }
}

void SenderController::setShowsTierComparison(bool shows) {
    assign(showsTierComparison_, shows, &SenderController::showsTierComparisonChanged);
    tierMonitor_->setEnabled(shows);
    if (!shows) {
        assign(tierInfos_, TierInfoList{}, &SenderController::tierInfosChanged);
    }
}

void SenderController::setMainPreviewVisible(bool visible) {
    assign(isMainPreviewVisible_, visible, &SenderController::isMainPreviewVisibleChanged);
    previewGate_->setMainVisible(visible);
}

void SenderController::setMenuPreviewVisible(bool visible) {
    assign(isMenuPreviewVisible_, visible, &SenderController::isMenuPreviewVisibleChanged);
    previewGate_->setMenuVisible(visible);
}

void SenderController::gatePreviewFrame(const SourceFrame& frame, PreviewGate& gate, PreviewSink& main,
                                        PreviewSink& menu) {
    const PreviewGate::Due due = gate.admit(frame.captureTime);
    if (due.main) {
        main.submit(frame.pixelBuffer);
    }
    if (due.menu) {
        menu.submit(frame.pixelBuffer);
    }
}

std::string SenderController::statusTitle() const {
    return kelvora::statusTitle(status_, isPaused_, isMainSourcePaused_);
}

std::string SenderController::statusDetail() const {
    return kelvora::statusDetail(status_, cameraAuthorization_);
}

std::string SenderController::displayName() const {
    return kelvora::displayName(settings_.senderName, *services_.hostInfo);
}

std::string SenderController::computerName() const {
    return services_.hostInfo->computerName();
}

}  // namespace kelvora
