#include "receiver/session/presenters/Symbols.h"

#include <algorithm>
#include <array>

namespace kelvora {
namespace {

constexpr std::array<std::string_view, 56> kSymbols = {
    "antenna.radiowaves.left.and.right.slash",
    "arrow.clockwise",
    "arrow.triangle.2.circlepath",
    "arrow.up.circle",
    "cable.connector.horizontal",
    "cable.connector.slash",
    "checkmark.circle.fill",
    "cpu",
    "desktopcomputer",
    "display",
    "doc.text",
    "dot.radiowaves.left.and.right",
    "dot.radiowaves.up.forward",
    "exclamationmark.triangle",
    "exclamationmark.triangle.fill",
    "film",
    "film.stack",
    "gauge.with.dots.needle.33percent",
    "gearshape",
    "hourglass",
    "info.circle",
    "ipad",
    "iphone",
    "iphone.and.arrow.forward",
    "iphone.gen3",
    "iphone.gen3.radiowaves.left.and.right",
    "laptopcomputer",
    "macwindow",
    "menubar.arrow.up.rectangle",
    "network",
    "network.slash",
    "pause.circle",
    "pause.fill",
    "pencil",
    "person.2.wave.2",
    "play.fill",
    "plus",
    "power",
    "rectangle.connected.to.line.below",
    "rectangle.split.2x1",
    "rectangle.stack",
    "slider.horizontal.3",
    "speedometer",
    "square.3.layers.3d",
    "testtube.2",
    "timer",
    "trash",
    "video",
    "video.badge.ellipsis",
    "video.slash",
    "wand.and.stars",
    "waveform.path.ecg",
    "web.camera",
    "wifi.exclamationmark",
    "xmark",
    "xmark.circle.fill",
};

constexpr bool isSorted() {
    for (size_t i = 1; i < kSymbols.size(); ++i) {
        if (!(kSymbols[i - 1] < kSymbols[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::span<const std::string_view> knownSymbolNames() {
    return kSymbols;
}

bool isKnownSymbol(std::string_view name) {
    static_assert(isSorted(), "the symbol table is kept sorted for the binary search");
    return std::binary_search(kSymbols.begin(), kSymbols.end(), name);
}

}  // namespace kelvora
