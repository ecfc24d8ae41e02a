#include "app/developer/DashboardPresenters.h"

#include "receiver/session/presenters/NumberText.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/sources/NDIVideoSource.h"

namespace kelvora {
namespace {

constexpr const char* kDash = "\u2013";

}  // namespace

std::string megabitText(int kbps) {
    return fixedText(kbps / 1000.0, kbps < 10000 ? 1 : 0);
}

double meanLatencyMs(const std::vector<ClientStatus>& clients) {
    double sum = 0;
    int count = 0;
    for (const ClientStatus& client : clients) {
        if (client.latencyMs >= 0) {
            sum += client.latencyMs;
            ++count;
        }
    }
    return count == 0 ? -1 : sum / count;
}

std::array<MetricTileText, 4> metricTiles(const SenderStatus& status) {
    const bool live = status.isLive();
    const double latency = meanLatencyMs(status.clients);
    return {{
        {"Bildrate", live ? fixedText(status.measuredFrameRate, 0) : kDash, "fps", "film", ColorToken::blue},
        {"Datenrate", live ? megabitText(status.outputKbps) : kDash, "Mbit/s", "speedometer",
         ColorToken::purple},
        {"Empfänger", std::to_string(status.clients.size()), "", "iphone.gen3.radiowaves.left.and.right",
         ColorToken::green},
        {"Latenz Ø", latency >= 0 ? fixedText(latency, 0) : kDash, latency >= 0 ? "ms" : "", "timer",
         ColorToken::orange},
    }};
}

bool showsReferenceClock(const SenderStatus& status) {
    return status.isTestPattern && status.isLive();
}

PreviewPanelText previewPanel(const SenderStatus& status, bool isPaused, CameraAuthorization camera) {
    using Kind = SenderStatus::State::Kind;
    const Kind state = status.state.kind();
    PreviewPanelText text;
    text.showsVideo = (status.isLive() || state == Kind::noSignal) && !isPaused;
    if (isPaused) {
        text.placeholderSymbol = "pause.circle";
    } else {
        switch (state) {
            case Kind::noSignal:
            case Kind::live:
            case Kind::paused:
                text.placeholderSymbol = "video.slash";
                break;
            case Kind::starting:
                text.placeholderSymbol = "hourglass";
                break;
            case Kind::waitingForSource:
                text.placeholderSymbol = "cable.connector.slash";
                break;
            case Kind::error:
                text.placeholderSymbol = "exclamationmark.triangle";
                break;
        }
    }
    text.offersCameraAccess =
        camera == CameraAuthorization::denied || camera == CameraAuthorization::restricted;
    text.offersResume = isPaused;
    text.badgePulsing = status.isLive() && !isPaused;
    text.badgeColor = statusColor(isPaused, state);
    text.warnsBlack = text.showsVideo && status.sourceIsBlack;
    text.formatChip = status.dimensions.label() + " · " + std::to_string(status.configuredFrameRate) +
                      " fps · " + (status.codec == VideoCodec::hevc ? "HEVC" : "H.264");
    const std::string sourceID = status.sourceID.value_or("");
    text.sourceChipSymbol = status.isTestPattern                 ? "testtube.2"
                            : sourceID.starts_with("videofile:") ? "film"
                                                                 : "cable.connector.horizontal";
    text.rateChip = megabitText(status.outputKbps) + " Mbit/s";
    return text;
}

std::string outputStatusLine(const SenderStatus& status, bool paused) {
    using Kind = SenderStatus::State::Kind;
    if (paused || status.state.kind() == Kind::paused) {
        return status.sourceName.empty() ? "Pausiert" : "Pausiert · " + status.sourceName;
    }
    if (status.state.kind() == Kind::error) {
        return status.state.message().empty() ? "Fehler" : "Fehler: " + status.state.message();
    }
    if (!status.isLive()) {
        return status.sourceName.empty() ? "Keine Quelle" : "Startet … " + status.sourceName;
    }
    std::string line = "Live · " + status.dimensions.label() + " · " +
                       fixedText(status.measuredFrameRate, 0) + " fps · " + megabitText(status.outputKbps) +
                       " Mbit/s · " + std::to_string(status.clients.size()) + " Empfänger";
    if (status.controlPort) {
        line += " · Port " + std::to_string(*status.controlPort);
    }
    return line;
}

std::vector<PickerRow<std::string>> outputSourceRows(const std::vector<CaptureDeviceInfo>& devices,
                                                     const std::vector<NDISourceInfo>& ndiSources,
                                                     const std::optional<std::string>& storedSourceID) {
    std::vector<PickerRow<std::string>> rows = {{"Keine", std::nullopt}, {"Testbild", "testpattern"}};
    for (const CaptureDeviceInfo& device : devices) {
        rows.push_back({device.displayName(), device.id});
    }
    for (const NDISourceInfo& source : ndiSources) {
        rows.push_back({"NDI®: " + source.sourceName() + " – " + source.machineName(), source.id()});
    }
    if (storedSourceID) {
        if (const std::optional<std::string> name = NDIVideoSource::ndiName(*storedSourceID)) {
            const bool announced =
                std::any_of(ndiSources.begin(), ndiSources.end(),
                            [&](const NDISourceInfo& source) { return source.name == *name; });
            if (!announced) {
                rows.push_back({"NDI®: " + *name + " (nicht im Netz)", *storedSourceID});
            }
        }
    }
    return rows;
}

std::vector<PickerRow<VideoDimensions>> outputResolutionRows() {
    std::vector<PickerRow<VideoDimensions>> rows = {{"Wie Quelle", std::nullopt}};
    for (const VideoDimensions& choice : SenderSettings::resolutionChoices()) {
        rows.push_back({choice.label(), choice});
    }
    return rows;
}

std::vector<PickerRow<int>> outputFrameRateRows() {
    std::vector<PickerRow<int>> rows = {{"Auto", std::nullopt}};
    for (int choice : SenderSettings::frameRateChoices()) {
        rows.push_back({std::to_string(choice), choice});
    }
    return rows;
}

bool canAddOutput(size_t extraOutputCount) {
    return extraOutputCount < 3;
}

}  // namespace kelvora
