#include "platform/AvahiStrings.h"

namespace kelvora::avahi {

StringList toStringList(const TxtRecord& record) {
    AvahiStringList* list = nullptr;
    const auto strings = record.strings();
    for (const auto& text : strings) {
        list =
            avahi_string_list_add_arbitrary(list, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    return StringList(list);
}

std::vector<std::string> fromStringList(AvahiStringList* list) {
    std::vector<std::string> strings;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                             avahi_string_list_get_size(item));
    }
    return strings;
}

}  // namespace kelvora::avahi
