#pragma once

#include <filesystem>
#include <string>

namespace kelvora {

// The name this computer goes by, for the sender's display name wherever the user left it empty: the pretty
// host name that systemd keeps in `<root>/etc/machine-info` where there is one, else the host name, else
// "Computer". Always valid UTF-8 without control characters; the file is read with a bounded size.
std::string computerName(const std::filesystem::path& root = "/");

// The PRETTY_HOSTNAME value of a machine-info text (shell-style assignments, quotes and backslash escapes);
// empty when it has none.
std::string prettyHostName(std::string_view machineInfo);

}  // namespace kelvora
