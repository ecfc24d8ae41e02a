// A sender's TXT record as the network delivers it (length-prefixed strings), through the list a resolver
// hands us, into the lenient announcement reader. What it reads must be fit to show: valid UTF-8 texts and
// picture sides a picture can have.

#include <avahi-common/strlst.h>
#include <unicode/utf8.h>

#include "core/ServiceAnnouncement.h"
#include "fuzz/FuzzInput.h"
#include "platform/AvahiStrings.h"

using namespace kelvora;

namespace {

bool isValidUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t offset = 0; offset < length;) {
        UChar32 character = 0;
        U8_NEXT(bytes, offset, length, character);
        if (character < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AvahiStringList* parsed = nullptr;
    if (avahi_string_list_parse(data, size, &parsed) != 0) {
        return 0;
    }
    const avahi::StringList list(parsed);
    const auto announcement =
        ServiceAnnouncement::fromTxtRecord(TxtRecord::fromStrings(avahi::fromStringList(list.get())));
    if (!announcement) {
        return 0;
    }
    KELVORA_FUZZ_CHECK(isValidUtf8(announcement->senderID));
    KELVORA_FUZZ_CHECK(isValidUtf8(announcement->senderName));
    KELVORA_FUZZ_CHECK(isValidUtf8(announcement->sourceName));
    for (const auto& engine : announcement->engines) {
        KELVORA_FUZZ_CHECK(isValidUtf8(engine.rawValue) && !engine.rawValue.empty());
    }
    for (const int side : {announcement->dimensions.width, announcement->dimensions.height}) {
        KELVORA_FUZZ_CHECK(side >= 0 && side <= VideoDimensions::maximumSide);
    }
    return 0;
}
