// The welcome and the stream info as a viewer's session takes them: the first byte picks the record, the
// rest is its payload. What decodes is cleaned and applied to the statistics the viewer shows; every text
// there must then be bounded, free of what could forge a log line or turn a row around, and clean already.

#include "core/ControlMessage.h"
#include "core/PeerText.h"
#include "fuzz/FuzzInput.h"
#include "platform/Graphemes.h"
#include "receiver/session/SenderRecords.h"

#include <string_view>

using namespace kelvora;

namespace {

bool harmless(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    // C1 controls, line and paragraph separators, bidirectional overrides and isolates in UTF-8.
    for (const std::string_view bad : {"\xC2\x80", "\xC2\x85", "\xC2\x9B", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                       "\xE2\x80\xAE", "\xE2\x81\xA6"}) {
        if (text.find(bad) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

void checkText(const std::string& text, std::size_t bound) {
    KELVORA_FUZZ_CHECK(harmless(text));
    KELVORA_FUZZ_CHECK(graphemeCount(text) <= bound);
    KELVORA_FUZZ_CHECK(peerText(text, bound) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const bool isWelcome = input.byte() % 2 == 0;
    const auto payload = input.takeRest();
    ControlMessage message;
    try {
        message = ControlMessage::decode(
            isWelcome ? ControlMessage::TypeCode::welcome : ControlMessage::TypeCode::streamInfo, payload);
    } catch (const WireError&) {
        return 0;
    }
    PlaybackStatistics stats;
    if (const auto* received = message.get<WelcomeMessage>()) {
        const WelcomeMessage welcome = cleanedWelcome(*received);
        applyWelcome(stats, welcome, {});
        checkText(welcome.senderName, maximumPeerNameCharacters);
        checkText(welcome.engine.rawValue, maximumPeerNameCharacters);
        if (welcome.senderID) {
            checkText(*welcome.senderID, maximumPeerIDCharacters);
        }
        KELVORA_FUZZ_CHECK(stats.senderName == welcome.senderName);
    } else if (const auto* received = message.get<StreamInfoMessage>()) {
        applyStreamInfo(stats, cleanedStreamInfo(*received));
    }
    checkText(stats.sourceName, maximumPeerNameCharacters);
    return 0;
}
