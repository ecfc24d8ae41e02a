#pragma once

#include <string>

namespace kelvora {

// Numbers as the views show them: always with a decimal point, whatever locale the desktop runs in (a Qt
// application switches the C library to the user's locale, which would make printf write "8,5"), and with
// printf's rounding (the exact binary value rounded to nearest, so 8.25 gives "8.2" and 0.05 gives "0.1").

// Like "%.*f": `decimals` digits after the point (0 gives no point). Non-finite values give "–".
std::string fixedText(double value, int decimals);

// Like "%lld" of the value rounded to the nearest whole number, halves away from zero. Non-finite values
// and values beyond the range of long long give "–".
std::string roundedText(double value);

}  // namespace kelvora
