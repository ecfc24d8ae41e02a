#include "sender/sources/NameOrder.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>

namespace kelvora {

namespace {

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

// One collator per thread: ICU collators are cheap to use but not meant to be shared while in use.
icu::Collator* standardCollator() {
    thread_local std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        // Without a language setting ICU takes "en_US_POSIX", whose collation is byte order (capitals
        // first); the root collation is what a user without a language would expect instead.
        const icu::Locale& preferred = icu::Locale::getDefault();
        const icu::Locale locale =
            std::string_view(preferred.getVariant()) == "POSIX" ? icu::Locale::getRoot() : preferred;
        std::unique_ptr<icu::Collator> made(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status) || !made) {
            status = U_ZERO_ERROR;
            made.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        if (made) {
            status = U_ZERO_ERROR;
            // Secondary strength: letters and accents count, case does not.
            made->setStrength(icu::Collator::SECONDARY);
            made->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        }
        return made;
    }();
    return collator.get();
}

}  // namespace

bool localizedStandardLess(std::string_view left, std::string_view right) {
    icu::Collator* collator = standardCollator();
    if (collator == nullptr) {
        return left < right;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = collator->compare(unicode(left), unicode(right), status);
    if (U_FAILURE(status)) {
        return left < right;
    }
    return result == UCOL_LESS;
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    icu::UnicodeString haystack = unicode(text);
    icu::UnicodeString needle = unicode(part);
    haystack.foldCase();
    needle.foldCase();
    return haystack.indexOf(needle) >= 0;
}

}  // namespace kelvora
