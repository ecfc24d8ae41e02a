#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// The TXT record of a DNS-SD service: an ordered list of "key=value" strings. Order is kept as written, so a
// reader sees the keys in the order the writer set them.
//
// Keys compare without regard to ASCII case, as DNS-SD asks. A key may also stand alone without "=" (a
// boolean attribute); it then has no value.
class TxtRecord {
  public:
    struct Entry {
        std::string key;
        std::optional<std::string> value;
        bool operator==(const Entry&) const = default;
    };

    // One TXT string holds at most 255 bytes: the key, "=" and the value.
    static constexpr std::size_t maximumStringLength = 255;

    // Sets `key` to `value`: in place when the key is present, else appended. Throws DnsSdError
    // (invalidRecord) for an empty key, a key with "=" or a byte outside printable ASCII, and for a string
    // that would exceed 255 bytes.
    void set(std::string_view key, std::string_view value);

    // The value of the first entry with `key`; none when the key is absent or stands without a value.
    std::optional<std::string> value(std::string_view key) const;
    bool contains(std::string_view key) const;

    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    // "key=value" (or "key") per entry, in order.
    std::vector<std::string> strings() const;

    // Reads strings as they came from the network: empty strings and strings beginning with "=" are
    // skipped, as DNS-SD readers must; everything else is kept in order, duplicates included (value() then
    // answers with the first).
    static TxtRecord fromStrings(const std::vector<std::string>& strings);

    bool operator==(const TxtRecord&) const = default;

  private:
    std::vector<Entry> entries_;
};

}  // namespace kelvora
