#pragma once

#include "platform/TxtRecord.h"

#include <avahi-common/strlst.h>

#include <memory>
#include <string>
#include <vector>

namespace kelvora::avahi {

struct StringListDeleter {
    void operator()(AvahiStringList* list) const { avahi_string_list_free(list); }
};
using StringList = std::unique_ptr<AvahiStringList, StringListDeleter>;

// A list to publish is built by prepending, and Avahi writes it to the network from its last element back
// to its head: the record's first entry goes out first.
StringList toStringList(const TxtRecord& record);
// A list that a resolver delivers runs in network order from its head.
std::vector<std::string> fromStringList(AvahiStringList* list);

}  // namespace kelvora::avahi
