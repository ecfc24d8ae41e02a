#pragma once

#include <span>
#include <string_view>

namespace kelvora {

// Symbol names stay the identifiers that presenters return ("pause.circle"). Each known name has a line
// icon drawn for this program, icons/<name>.svg beside the UI module; the symbol provider draws a visible
// fallback glyph for any other name, so a typo shows up on screen instead of leaving a hole.

// Every symbol name the views use, sorted.
std::span<const std::string_view> knownSymbolNames();

bool isKnownSymbol(std::string_view name);

}  // namespace kelvora
