#include "platform/Graphemes.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <functional>
#include <limits>
#include <memory>

namespace kelvora {

namespace {

struct BreakIteratorCloser {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};

// Opening a break iterator loads ICU's rules; each thread keeps one and only resets its text.
UBreakIterator* characterBreaks() {
    thread_local std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UBreakIterator* opened = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
        return std::unique_ptr<UBreakIterator, BreakIteratorCloser>(U_SUCCESS(status) ? opened : nullptr);
    }();
    return iterator.get();
}

// Calls `visit` with the byte offset of the end of each cluster, in order, until it returns false.
void forEachClusterEnd(std::string_view text, const std::function<bool(std::size_t)>& visit) {
    UBreakIterator* iterator = characterBreaks();
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (!iterator || U_FAILURE(status)) {
        utext_close(utext);
        // Without ICU's data every code point counts as one character.
        for (std::size_t i = 1; i <= text.size(); ++i) {
            if (i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                if (!visit(i)) {
                    return;
                }
            }
        }
        return;
    }
    ubrk_setUText(iterator, utext, &status);
    // For UTF-8 text, ICU's native indices are byte offsets.
    for (int32_t end = ubrk_next(iterator); end != UBRK_DONE; end = ubrk_next(iterator)) {
        if (!visit(static_cast<std::size_t>(end))) {
            break;
        }
    }
    utext_close(utext);
}

}  // namespace

std::string prefixOfGraphemes(std::string_view text, std::size_t maxClusters, std::size_t maxBytes) {
    if (text.size() <= maxBytes && text.size() <= maxClusters) {
        return std::string(text);  // no cut possible: every cluster has at least one byte
    }
    std::size_t cut = 0;
    std::size_t clusters = 0;
    forEachClusterEnd(text, [&](std::size_t end) {
        if (clusters == maxClusters || end > maxBytes) {
            return false;
        }
        cut = end;
        ++clusters;
        return true;
    });
    return std::string(text.substr(0, cut));
}

std::size_t graphemeCount(std::string_view text) {
    std::size_t clusters = 0;
    forEachClusterEnd(text, [&](std::size_t) {
        ++clusters;
        return true;
    });
    return clusters;
}

}  // namespace kelvora
