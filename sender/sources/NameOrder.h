#pragma once

#include <string_view>

namespace kelvora {

// How source pickers order names: the way a file browser does, case-insensitive, runs of digits compared by
// their value ("Cam 9" before "Cam 10"), by the collation rules of the user's locale. Names that compare
// equal are not "less" either way, so a stable sort keeps them in the order they came in.
bool localizedStandardLess(std::string_view left, std::string_view right);

// Whether `text` contains `part`, ignoring case (full Unicode case folding, so "ULTRASTUDIO" matches
// "UltraStudio" and "STRASSE" matches "Straße").
bool containsIgnoringCase(std::string_view text, std::string_view part);

}  // namespace kelvora
