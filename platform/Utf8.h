#pragma once

#include <string>
#include <string_view>

namespace kelvora {

// `bytes` as UTF-8 text: every ill-formed sequence becomes one U+FFFD (the replacement character) and
// everything well-formed is kept as it is. Ill-formed means a byte that cannot start a character, a
// character cut short (one replacement for what was there of it), an overlong form, a surrogate or a
// value above U+10FFFF. Names and texts from files, devices, other programs and the network go through
// this before they are shown, logged as text or written as JSON, which refuses anything else.
// Linear in the input, never longer than three times it.
std::string validUtf8(std::string_view bytes);

}  // namespace kelvora
