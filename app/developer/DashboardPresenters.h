#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "app/model/PlatformServices.h"
#include "app/presenters/StatusColor.h"
#include "sender/pipeline/OutputSettings.h"
#include "sender/pipeline/SenderStatus.h"
#include "sender/sources/CaptureDeviceInfo.h"
#include "sender/sources/NDISourceInfo.h"

namespace kelvora {

// What the dashboard's main view, preview panel and outputs panel show, worked out from the model's state.

// A sent data rate in Mbit/s: one decimal below 10000 kbit/s, none from there on ("9.9", "10.0", "10").
std::string megabitText(int kbps);

// The mean of the viewers' reported latencies; -1 when no viewer has reported one yet.
double meanLatencyMs(const std::vector<ClientStatus>& clients);

struct MetricTileText {
    std::string title;
    std::string value;
    std::string unit;  // empty: no unit
    std::string symbol;
    ColorToken tint;

    bool operator==(const MetricTileText&) const = default;
};

// Frame rate, data rate, viewers and mean latency, in this order.
std::array<MetricTileText, 4> metricTiles(const SenderStatus& status);

// The reference clock beside the test picture's own clock: only while the test picture is live.
bool showsReferenceClock(const SenderStatus& status);

struct PreviewPanelText {
    bool showsVideo = false;
    std::string placeholderSymbol;
    bool offersCameraAccess = false;
    bool offersResume = false;
    bool badgePulsing = false;
    ColorToken badgeColor = ColorToken::gray;
    bool warnsBlack = false;
    std::string formatChip;  // "1080p · 30 fps · HEVC"
    std::string sourceChipSymbol;
    std::string rateChip;  // "8.5 Mbit/s"

    bool operator==(const PreviewPanelText&) const = default;
};

PreviewPanelText previewPanel(const SenderStatus& status, bool isPaused, CameraAuthorization camera);

// The status line under an extra output's controls. `paused` is the output's pause (all outputs or its own
// source), which the pipeline's status may not show yet.
std::string outputStatusLine(const SenderStatus& status, bool paused);

// One entry of a picker: its label and the value choosing it stores (none for "Keine", "Wie Quelle", "Auto").
template <class Value>
struct PickerRow {
    std::string label;
    std::optional<Value> value;

    bool operator==(const PickerRow&) const = default;
};

// The rows of an extra output's source picker: none, the test picture, the devices, the NDI sources on the
// network and, when the stored source is an NDI source that is not, that one marked as missing.
std::vector<PickerRow<std::string>> outputSourceRows(const std::vector<CaptureDeviceInfo>& devices,
                                                     const std::vector<NDISourceInfo>& ndiSources,
                                                     const std::optional<std::string>& storedSourceID);
std::vector<PickerRow<VideoDimensions>> outputResolutionRows();
std::vector<PickerRow<int>> outputFrameRateRows();

// The row whose value is `value`; -1 when none is (a stored value no row offers selects nothing).
template <class Value>
int selectedRow(const std::vector<PickerRow<Value>>& rows, const std::optional<Value>& value) {
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].value == value) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Another extra output may be added while fewer than three exist.
bool canAddOutput(size_t extraOutputCount);

}  // namespace kelvora
