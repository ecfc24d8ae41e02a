#pragma once

#include <optional>
#include <string_view>

#include "core/NetworkEndpoint.h"

namespace kelvora {

// What a typed sender address means: "host", "host:port", "[v6]" or "[v6]:port". Blanks and tabs around it
// are dropped; blank text is none, and so are brackets with nothing but blanks inside. A bare IPv6 address
// (more than one ":" outside brackets) is a host of its own. Where no usable port follows (none, empty, not a
// number 1...65535, or 0) the port is 47810, and a text whose port part is not a number is taken whole as the
// host, so the connection attempt shows the mistake.
std::optional<HostPortEndpoint> parseSenderAddress(std::string_view text);

}  // namespace kelvora
