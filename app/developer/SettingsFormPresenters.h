#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/NDISourceInfo.h"

namespace kelvora {

// What the inspector's source picker selects: the automatic choice, a device or an NDI source (each by its
// text), or one of the generated or file sources.
struct SourceChoice {
    enum class Kind { automatic, device, ndi, testPattern, sampleVideo, videoFile };
    Kind kind = Kind::automatic;
    // The device id, or the NDI name without "ndi:"; empty for the other kinds.
    std::string text;

    bool operator==(const SourceChoice&) const = default;
};

// The stored settings as a choice, first rule first: test picture, then a video file (the sample video when
// that is the stored file), then no device (automatic), then an "ndi:" id, then any other device id.
SourceChoice currentSourceChoice(const SenderSettings& settings, bool usingSampleVideo);

// --- video source ---

struct SourceRow {
    std::string text;
    std::string symbol;
    SourceChoice choice;
};

struct SourceSectionState {
    SenderSettings settings;
    std::vector<CaptureDeviceInfo> devices;
    std::vector<NDISourceInfo> ndiSources;
    bool isNDIAvailable = false;
    bool isPreparingSampleVideo = false;
    bool isUsingSampleVideo = false;
    std::optional<std::string> videoFileDisplayName;
    // Whether the pipeline restarts a black source by itself.
    bool autoSourceRecovery = false;
};

// Every row the picker offers, in order. A remembered device or NDI source that is absent keeps a row of its
// own, so the current choice always has a row to select.
std::vector<SourceRow> sourceRows(const SourceSectionState& state);
// The row of the current choice; nothing when no row matches.
std::optional<size_t> selectedSourceRow(const std::vector<SourceRow>& rows, const SourceChoice& current);

bool showsOtherFileButton(const SourceSectionState& state);
// The hover help of "Quelle neu verbinden"; it promises the automatic retry only while that retry is on.
std::string reconnectHelp(bool autoSourceRecovery);

struct SourceFooter {
    std::string automatic;
    // Present when the NDI runtime is loaded: the sentence, the vendor's page and its host, the notice.
    std::string ndi;
    std::string ndiLink;
    std::string ndiLinkHost;
    std::string trademark;
};
SourceFooter sourceFooter(bool isNDIAvailable);

// --- picture ---

// One picker's options and which of them the stored value selects (nothing when none matches: a stored value
// outside the options selects nothing and is never written back).
struct Picker {
    std::vector<std::string> options;
    std::optional<size_t> selected;
};

Picker resolutionPicker(const SenderSettings& settings);
Picker frameRatePicker(const SenderSettings& settings);
Picker maximumFrameRatePicker(const SenderSettings& settings);
Picker codecPicker(const SenderSettings& settings);
Picker qualityPicker(const SenderSettings& settings);

// The value behind an option of the pickers above; nothing stands for "Wie Quelle" / "Auto".
std::optional<VideoDimensions> resolutionOption(size_t index);
std::optional<int> frameRateOption(size_t index);
std::optional<int> maximumFrameRateOption(size_t index);
VideoCodec codecOption(size_t index);
bool qualityOption(size_t index);

// What is being sent right now, in one sentence.
std::string formatSummary(const SenderSettings& settings, const SenderStatus& status);

// --- developer ---

enum class BitrateControl { none, studioPicker, stepper };
BitrateControl bitrateControl(const SenderSettings& settings);

Picker studioBitratePicker(const SenderSettings& settings);
int studioBitrateOption(size_t index);
Picker keyframeIntervalPicker(const SenderSettings& settings);
double keyframeIntervalOption(size_t index);

// The manual bitrate's stepper: 4 to 40 Mbit/s in steps of 2. A stored value outside that range (from a
// viewer's tuning) is labelled as it is; what the stepper writes always lies within it.
struct BitrateStepper {
    static constexpr int minimumKbps = 4000;
    static constexpr int maximumKbps = 40000;
    static constexpr int stepKbps = 2000;
};
std::string bitrateStepperLabel(int bitrateKbps);

struct DeveloperToggles {
    bool adaptFrameRateFirstEnabled = false;
    bool hotStandbyProxyEnabled = false;
};
DeveloperToggles developerToggles(const SenderSettings& settings);

struct EngineRow {
    std::string kind;
    std::string title;
    // Shown as a green pill while viewers use the engine; 0 shows none.
    int clientCount = 0;
    std::string detail;
    bool isOn = false;
    bool isSwitchable = false;
};
std::vector<EngineRow> engineRows(const SenderStatus& status);

// --- info ---

std::string controlPortText(const SenderStatus& status);
// Each address with ":" and the port unless the port is unknown or the default 47810.
std::vector<std::string> addressTexts(const std::vector<std::string>& addresses, const SenderStatus& status);
std::string hevcHardwareText(const SenderStatus& status);

// --- sender name ---

// The name as committed: blanks and tabs (and other space separators) removed at both ends, line breaks kept.
std::string committedSenderName(const std::string& typed);

}  // namespace kelvora
