#include "core/Json.h"

namespace kelvora::json {

void fail(std::string what) {
    throw WireError::invalidPayload(std::move(what));
}

const char* typeName(const Json& value) {
    return value.type_name();
}

namespace {

void requireFinite(const Json& value) {
    if (value.is_number_float()) {
        if (!std::isfinite(value.get<double>()))
            fail("non-finite number");
    } else if (value.is_structured()) {
        for (const auto& element : value)
            requireFinite(element);
    }
}

}  // namespace

std::string encode(const Json& value) {
    // nlohmann would write NaN and infinities as null, silently changing the value.
    requireFinite(value);
    std::string text;
    try {
        text = value.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception& error) {
        fail(std::string("cannot encode: ") + error.what());
    }
    // A slash can only occur inside strings here, so escaping every one keeps the text valid JSON.
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '/')
            escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

Json decode(std::string_view text) {
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        fail("malformed JSON");
    return value;
}

Json decodeObject(std::string_view text) {
    Json value = decode(text);
    if (!value.is_object())
        fail(std::string("expected an object, found ") + typeName(value));
    return value;
}

}  // namespace kelvora::json
