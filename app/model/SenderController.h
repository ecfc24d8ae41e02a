#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/model/ExtraOutput.h"
#include "app/model/MainThreadHop.h"
#include "app/model/OutputPipeline.h"
#include "app/model/PlatformServices.h"
#include "app/model/PreviewSink.h"
#include "app/model/SettingsStore.h"
#include "app/model/SourceServices.h"
#include "receiver/session/EncodedStreamMonitor.h"

namespace kelvora {

using CaptureDeviceList = std::vector<CaptureDeviceInfo>;
using NDISourceList = std::vector<NDISourceInfo>;
using TierInfoList = std::vector<EncodedStreamMonitor::TierInfo>;

}  // namespace kelvora

Q_DECLARE_METATYPE(kelvora::SenderSettings)
Q_DECLARE_METATYPE(kelvora::CaptureDeviceList)
Q_DECLARE_METATYPE(kelvora::NDISourceList)
Q_DECLARE_METATYPE(kelvora::TierInfoList)
Q_DECLARE_METATYPE(kelvora::CameraAuthorization)

namespace kelvora {

// What the controller is built with: everything that reaches out of the process.
struct SenderControllerServices {
    UserDefaults* defaults = nullptr;
    PipelineFactory pipelines;
    PreviewSinkFactory previews;
    std::shared_ptr<LoginItemService> loginItem;
    std::shared_ptr<CameraAccess> cameraAccess;
    std::shared_ptr<HostInfo> hostInfo;
    std::shared_ptr<AlertPresenter> alerts;
    std::shared_ptr<FilePicker> filePicker;
    std::shared_ptr<DeviceList> devices;
    std::shared_ptr<NDIList> ndiSources;
    std::shared_ptr<SampleVideo> sampleVideo;
    bool ndiAvailable = false;
    // Registers the NDI attribution in the licence list.
    std::function<void()> registerNDILicense;
    // Whether the weak-Wi-Fi preset may pick HEVC.
    std::function<bool()> hevcHardware;

    // This computer's: real pipelines, the standard user defaults, the Linux services; `alerts` and
    // `filePicker` stay for the desktop shell to set.
    static SenderControllerServices system();
};

// The sender application's model: the main output's settings and pipeline, up to three extra outputs, the
// device and NDI lists, pause, developer mode, login item, camera access, the simple stream, viewers'
// tuning, the tier comparison and the preview gates. Every observable member notifies only when its value
// really changes.
//
// Threads: a main-thread object. Pipeline, monitor, browser, streamer, camera and defaults callbacks arrive
// on their own threads and hop here through `hop_`, which `stop` closes; the preview path never touches the
// controller, only `previewGate_` (its own lock) and the preview sinks.
class SenderController final : public QObject {
    Q_OBJECT
    Q_PROPERTY(kelvora::SenderSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(kelvora::SenderStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(kelvora::CaptureDeviceList devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(kelvora::NDISourceList ndiSources READ ndiSources NOTIFY ndiSourcesChanged)
    Q_PROPERTY(bool isNDIAvailable READ isNDIAvailable CONSTANT)
    Q_PROPERTY(kelvora::CameraAuthorization cameraAuthorization READ cameraAuthorization NOTIFY
                   cameraAuthorizationChanged)
    Q_PROPERTY(bool isPaused READ isPaused NOTIFY isPausedChanged)
    Q_PROPERTY(bool isMainSourcePaused READ isMainSourcePaused NOTIFY isMainSourcePausedChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(bool loginItemNeedsApproval READ loginItemNeedsApproval NOTIFY loginItemNeedsApprovalChanged)
    Q_PROPERTY(bool isMenuPreviewVisible READ isMenuPreviewVisible WRITE setMenuPreviewVisible NOTIFY
                   isMenuPreviewVisibleChanged)
    Q_PROPERTY(bool isMainPreviewVisible READ isMainPreviewVisible WRITE setMainPreviewVisible NOTIFY
                   isMainPreviewVisibleChanged)
    Q_PROPERTY(bool isDeveloperMode READ isDeveloperMode WRITE setDeveloperMode NOTIFY isDeveloperModeChanged)
    Q_PROPERTY(
        bool showsOnboarding READ showsOnboarding WRITE setShowsOnboarding NOTIFY showsOnboardingChanged)
    Q_PROPERTY(kelvora::TierInfoList tierInfos READ tierInfos NOTIFY tierInfosChanged)
    Q_PROPERTY(bool showsTierComparison READ showsTierComparison WRITE setShowsTierComparison NOTIFY
                   showsTierComparisonChanged)
    Q_PROPERTY(bool simpleStreamEnabled READ simpleStreamEnabled WRITE setSimpleStreamEnabled NOTIFY
                   simpleStreamEnabledChanged)
    Q_PROPERTY(int simpleStreamBitrateKbps READ simpleStreamBitrateKbps WRITE setSimpleStreamBitrateKbps
                   NOTIFY simpleStreamBitrateKbpsChanged)
    Q_PROPERTY(int simpleStreamClients READ simpleStreamClients NOTIFY simpleStreamClientsChanged)
    Q_PROPERTY(QString simpleStreamError READ simpleStreamError NOTIFY simpleStreamErrorChanged)
    Q_PROPERTY(QList<kelvora::ExtraOutput*> extraOutputs READ extraOutputs NOTIFY extraOutputsChanged)
    Q_PROPERTY(bool isStarted READ isStarted NOTIFY isStartedChanged)
    Q_PROPERTY(bool isPreparingSampleVideo READ isPreparingSampleVideo NOTIFY isPreparingSampleVideoChanged)
    Q_PROPERTY(QString sampleVideoError READ sampleVideoError NOTIFY sampleVideoErrorChanged)

  public:
    static constexpr int kMaximumExtraOutputs = 3;
    static constexpr int kMinimumSimpleStreamKbps = 1000;
    static constexpr int kMaximumSimpleStreamKbps = 30000;

    explicit SenderController(SenderControllerServices services, QObject* parent = nullptr);
    ~SenderController() override;

    // The program's one controller, made on first use with the system's services and never destroyed: it
    // is stopped explicitly at the end, and nothing of it is left for static destruction.
    static SenderController& shared();

    void start();
    // Stops the pipelines (viewers are told), the simple stream, the device monitor and the NDI browser,
    // and writes what waits for the disk. Safe without `start` and more than once; afterwards nothing starts.
    void stop();

    // --- settings ---
    const SenderSettings& settings() const { return settings_; }
    // The one setter: an equal record changes nothing; otherwise save, hand to the main pipeline, re-derive
    // the extra outputs, in this order.
    void setSettings(const SenderSettings& settings);
    void setEngine(const std::string& name, bool enabled);
    // Returns once the settings written so far are in the defaults file.
    void flushSettings();

    // --- sources of the main output ---
    void selectDevice(const std::optional<std::string>& id);
    void selectTestPattern();
    void useVideoFile(const std::filesystem::path& file);
    void chooseVideoFile();
    void useSampleVideo();
    bool isUsingSampleVideo() const;
    // Whether the stored video file is the generated sample, whether it plays now or not: such a file was
    // never the person's own choice.
    bool storesSampleVideo() const;
    std::optional<std::string> videoFileDisplayName() const;

    // --- extra outputs ---
    void addOutput();
    void removeOutput(const std::string& id);
    void renameOutput(const std::string& id, const std::string& name);
    void setOutputSource(const std::string& id, const std::optional<std::string>& sourceID);
    void setOutputFormat(const std::string& id, const std::optional<VideoDimensions>& resolution,
                         const std::optional<int>& frameRate);
    std::optional<OutputSettings> outputSettings(const std::string& id) const;
    // Every viewer with the name of the output it watches: the main output's first.
    std::vector<std::pair<ClientStatus, std::string>> receivers() const;

    // --- pause, developer mode, login item, camera, onboarding ---
    void togglePause();
    void toggleMainSourcePause();
    void toggleOutputPause(const std::string& id);
    void setLaunchAtLogin(bool enabled);
    void refreshLoginItemStatus();
    void configureLoginItemOnce();
    void requestCameraAccess();
    void openCameraPrivacySettings();
    // Where the approval of the login item would be given; this system asks for none, so it explains.
    void openLoginItemSettings();
    void showDeckLinkSetup();
    void finishOnboarding();

    // --- texts ---
    std::string statusTitle() const;
    std::string statusDetail() const;
    std::string displayName() const;
    // The name announced while the stored sender name is empty.
    std::string computerName() const;

    // --- state ---
    const SenderStatus& status() const { return status_; }
    const CaptureDeviceList& devices() const { return devices_; }
    const NDISourceList& ndiSources() const { return ndiSources_; }
    bool isNDIAvailable() const { return services_.ndiAvailable; }
    CameraAuthorization cameraAuthorization() const { return cameraAuthorization_; }
    bool isPaused() const { return isPaused_; }
    bool isMainSourcePaused() const { return isMainSourcePaused_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    bool loginItemNeedsApproval() const { return loginItemNeedsApproval_; }
    bool isMenuPreviewVisible() const { return isMenuPreviewVisible_; }
    void setMenuPreviewVisible(bool visible);
    bool isMainPreviewVisible() const { return isMainPreviewVisible_; }
    void setMainPreviewVisible(bool visible);
    bool isDeveloperMode() const { return isDeveloperMode_; }
    void setDeveloperMode(bool enabled);
    bool showsOnboarding() const { return showsOnboarding_; }
    void setShowsOnboarding(bool shows);
    const TierInfoList& tierInfos() const { return tierInfos_; }
    bool showsTierComparison() const { return showsTierComparison_; }
    void setShowsTierComparison(bool shows);
    bool simpleStreamEnabled() const { return simpleStreamEnabled_; }
    void setSimpleStreamEnabled(bool enabled);
    int simpleStreamBitrateKbps() const { return simpleStreamBitrateKbps_; }
    void setSimpleStreamBitrateKbps(int kbps);
    int simpleStreamClients() const { return simpleStreamClients_; }
    QString simpleStreamError() const { return simpleStreamError_; }
    QList<ExtraOutput*> extraOutputs() const { return extraOutputs_; }
    bool isStarted() const { return isStarted_; }
    bool isPreparingSampleVideo() const { return isPreparingSampleVideo_; }
    QString sampleVideoError() const { return sampleVideoError_; }

    const std::string& senderID() const { return senderID_; }
    const std::shared_ptr<OutputPipeline>& pipeline() const { return pipeline_; }
    const std::shared_ptr<PreviewSink>& previewRenderer() const { return previewRenderer_; }
    const std::shared_ptr<PreviewSink>& menuPreviewRenderer() const { return menuPreviewRenderer_; }
    const std::shared_ptr<EncodedStreamMonitor>& tierMonitor() const { return tierMonitor_; }
    PreviewGate& previewGate() const { return *previewGate_; }

    // The main preview's share of one source picture (source thread): each visible preview at its rate.
    static void gatePreviewFrame(const SourceFrame& frame, PreviewGate& gate, PreviewSink& main,
                                 PreviewSink& menu);

  signals:
    void settingsChanged();
    void statusChanged();
    void devicesChanged();
    void ndiSourcesChanged();
    void cameraAuthorizationChanged();
    void isPausedChanged();
    void isMainSourcePausedChanged();
    void launchAtLoginChanged();
    void loginItemNeedsApprovalChanged();
    void isMenuPreviewVisibleChanged();
    void isMainPreviewVisibleChanged();
    void isDeveloperModeChanged();
    void showsOnboardingChanged();
    void tierInfosChanged();
    void showsTierComparisonChanged();
    void simpleStreamEnabledChanged();
    void simpleStreamBitrateKbpsChanged();
    void simpleStreamClientsChanged();
    void simpleStreamErrorChanged();
    void extraOutputsChanged();
    void isStartedChanged();
    void isPreparingSampleVideoChanged();
    void sampleVideoErrorChanged();

  private:
    template <class T>
    bool assign(T& field, const T& value, void (SenderController::*changed)());
    template <class Edit>
    void editSettings(Edit edit);
    template <class Edit>
    void editOutput(const std::string& id, Edit edit);

    void saveSettings();
    void syncExtraOutputs();
    void applySimpleStream();
    void leaveDeveloperMode();
    void handleStatus(const SenderStatus& status);
    void handleDevicesChanged(const CaptureDeviceList& list);
    void handleTuningRequest(const StreamTuning& tuning);
    void handleDeveloperModeDefault();
    void handleCameraAccessResult(bool granted);
    std::function<void(StreamTuning)> tuningHandler();
    void setPaused(OutputPipeline& pipeline, bool sourcePaused);

    SenderControllerServices services_;
    std::shared_ptr<MainThreadHop> hop_;
    std::unique_ptr<DefaultsWriter> writer_;

    SenderSettings settings_;
    SenderStatus status_;
    CaptureDeviceList devices_;
    NDISourceList ndiSources_;
    CameraAuthorization cameraAuthorization_ = CameraAuthorization::notDetermined;
    bool isPaused_ = false;
    bool isMainSourcePaused_ = false;
    bool launchAtLogin_ = false;
    bool loginItemNeedsApproval_ = false;
    bool isMenuPreviewVisible_ = false;
    bool isMainPreviewVisible_ = true;
    bool isDeveloperMode_ = true;
    bool showsOnboarding_ = true;
    TierInfoList tierInfos_;
    bool showsTierComparison_ = false;
    bool simpleStreamEnabled_ = false;
    int simpleStreamBitrateKbps_ = 8000;
    int simpleStreamClients_ = 0;
    QString simpleStreamError_;
    std::shared_ptr<SimpleStream> simpleStreamer_;
    QList<ExtraOutput*> extraOutputs_;
    bool isStarted_ = false;
    bool isStopped_ = false;
    bool isPreparingSampleVideo_ = false;
    QString sampleVideoError_;
    std::jthread sampleVideoJob_;

    std::shared_ptr<PreviewGate> previewGate_ = std::make_shared<PreviewGate>();
    std::shared_ptr<PreviewSink> previewRenderer_;
    std::shared_ptr<PreviewSink> menuPreviewRenderer_;
    std::shared_ptr<EncodedStreamMonitor> tierMonitor_;
    std::string senderID_;
    std::shared_ptr<OutputPipeline> pipeline_;
    UserDefaults::Observation developerModeObserver_;
};

}  // namespace kelvora
