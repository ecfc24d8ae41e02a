#include "platform/ComputerName.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <fstream>

#include "platform/Utf8.h"

namespace kelvora {
namespace {

// machine-info is a few lines; anything far larger is not a file systemd wrote.
constexpr std::streamsize maximumMachineInfoBytes = 64 * 1024;

std::string cleaned(std::string_view text) {
    std::string valid = validUtf8(text);
    std::string result;
    result.reserve(valid.size());
    for (const char c : valid) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            result.push_back(c);
        }
    }
    const auto first = result.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return result.substr(first, result.find_last_not_of(" \t") - first + 1);
}

std::string unquoted(std::string_view value) {
    std::string result;
    char quote = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                result.push_back(c);
            }
        } else if (c == '\\' && i + 1 < value.size()) {
            result.push_back(value[++i]);
        } else if (c == '"' || (c == '\'' && quote == 0)) {
            quote = quote == c ? 0 : c;
        } else {
            result.push_back(c);
        }
    }
    return result;
}

std::string hostName() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return {};
    }
    return name.data();
}

}  // namespace

std::string prettyHostName(std::string_view machineInfo) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::string found;
    size_t start = 0;
    while (start <= machineInfo.size()) {
        size_t end = machineInfo.find('\n', start);
        if (end == std::string_view::npos) {
            end = machineInfo.size();
        }
        std::string_view line = machineInfo.substr(start, end - start);
        const auto first = line.find_first_not_of(" \t");
        line = first == std::string_view::npos ? std::string_view{} : line.substr(first);
        if (line.starts_with(key)) {
            // The last assignment wins, as in a shell.
            found = unquoted(line.substr(key.size()));
        }
        start = end + 1;
    }
    return cleaned(found);
}

std::string computerName(const std::filesystem::path& root) {
    std::ifstream file(root / "etc/machine-info", std::ios::binary);
    if (file) {
        std::string text(static_cast<size_t>(maximumMachineInfoBytes), '\0');
        file.read(text.data(), maximumMachineInfoBytes);
        text.resize(static_cast<size_t>(file.gcount()));
        if (std::string pretty = prettyHostName(text); !pretty.empty()) {
            return pretty;
        }
    }
    if (std::string host = cleaned(hostName()); !host.empty()) {
        return host;
    }
    return "Computer";
}

}  // namespace kelvora
