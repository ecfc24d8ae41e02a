#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/presenters/StatusColor.h"
#include "sender/pipeline/SenderStatus.h"

namespace kelvora {

// Texts and symbols of the main window's toolbar, the tray and the introduction, from the controller's
// state alone.

// --- tray ---

// The tray's symbol: paused first (all outputs; a paused main source alone does not count), then by state.
std::string_view traySymbol(bool isPaused, const SenderStatus& status);
// "Tilvara Sender: " and the status title.
std::string trayTooltip(const std::string& statusTitle);

// One line of the panel's figures.
struct TrayFigure {
    std::string label;
    std::string value;
    bool operator==(const TrayFigure&) const = default;
};
// "Gerät", "Format", "Bitrate" (developer mode), "Geräte", "Engines" (developer mode).
std::vector<TrayFigure> trayFigures(const SenderStatus& status, bool developerMode);

// The panel's and the context menu's action rows.
enum class TrayAction { openWindow, togglePause, testPicture, sampleVideo, quit };
struct TrayRow {
    TrayAction action;
    std::string title;
    std::string symbol;
    bool operator==(const TrayRow&) const = default;
};
struct TrayRowInputs {
    bool isPaused = false;
    bool developerMode = false;
    bool useTestPattern = false;
    bool isUsingSampleVideo = false;
    bool isPreparingSampleVideo = false;
};
std::vector<TrayRow> trayRows(const TrayRowInputs& inputs);

// The picture counts as showing while the main output is live and not everything is paused.
bool trayShowsPicture(bool isPaused, const SenderStatus& status);

// --- main window toolbar ---

struct ToolbarPause {
    std::string title;
    std::string symbol;
    std::string help;
};
ToolbarPause toolbarPause(bool isPaused);
// Room for one more extra output next to the main one (at most three extra).
bool canAddSource(int extraOutputCount);
std::string addSourceHelp();

// --- introduction ---

struct OnboardingPage {
    std::string symbol;               // empty on the first page, which shows the program's icon
    std::vector<std::string> colors;  // two "#rrggbb", empty on the first page
    std::string title;
    std::string text;
};
// The four pages, in order.
const std::vector<OnboardingPage>& onboardingPages();
// Page 1's line: "Erkannt: <source> · <label> · <fps> fps" while live, else the waiting hint.
struct OnboardingSourceLine {
    bool detected = false;
    std::string symbol;
    std::string text;
    bool operator==(const OnboardingSourceLine&) const = default;
};
OnboardingSourceLine onboardingSourceLine(const SenderStatus& status);
// Page 2's hint with the first address in bold (rich text); empty without an address.
std::string onboardingAddressHint(const std::vector<std::string>& addresses);
// Left and right button titles on a page.
std::string onboardingBackTitle(int page);
std::string onboardingNextTitle(int page);

// --- settings window ---

// A typed name without blanks and tabs at either end; line breaks stay.
std::string trimmedName(std::string_view typed);
// The footer under the picture-quality choice.
std::string studioModeFooter(bool studioMode);

}  // namespace kelvora
