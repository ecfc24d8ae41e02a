#include "platform/TxtRecord.h"

#include "platform/DnsSdError.h"

#include <algorithm>

namespace kelvora {

namespace {

bool keysEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

}  // namespace

void TxtRecord::set(std::string_view key, std::string_view value) {
    if (key.empty()) {
        throw DnsSdError::invalidRecord("TXT-Schlüssel ist leer");
    }
    for (char c : key) {
        if (c == '=' || c < 0x20 || c > 0x7E) {
            throw DnsSdError::invalidRecord("TXT-Schlüssel \"" + std::string(key) +
                                            "\" enthält ein unzulässiges Zeichen");
        }
    }
    if (key.size() + 1 + value.size() > maximumStringLength) {
        throw DnsSdError::invalidRecord("TXT-Eintrag \"" + std::string(key) + "\" ist länger als 255 Bytes");
    }
    for (auto& entry : entries_) {
        if (keysEqual(entry.key, key)) {
            entry.value = std::string(value);
            return;
        }
    }
    entries_.push_back({std::string(key), std::string(value)});
}

std::optional<std::string> TxtRecord::value(std::string_view key) const {
    for (const auto& entry : entries_) {
        if (keysEqual(entry.key, key)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

bool TxtRecord::contains(std::string_view key) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return keysEqual(entry.key, key); });
}

std::vector<std::string> TxtRecord::strings() const {
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) {
        result.push_back(entry.value ? entry.key + "=" + *entry.value : entry.key);
    }
    return result;
}

TxtRecord TxtRecord::fromStrings(const std::vector<std::string>& strings) {
    TxtRecord record;
    for (const auto& text : strings) {
        if (text.empty() || text.front() == '=') {
            continue;
        }
        const auto equals = text.find('=');
        if (equals == std::string::npos) {
            record.entries_.push_back({text, std::nullopt});
        } else {
            record.entries_.push_back({text.substr(0, equals), text.substr(equals + 1)});
        }
    }
    return record;
}

}  // namespace kelvora
