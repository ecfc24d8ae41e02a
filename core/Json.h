#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/WireError.h"

namespace kelvora {

// Objects keep their keys in the order they were written, so records encode in field order.
using Json = nlohmann::ordered_json;

// Strict JSON coding of the protocol's records. nlohmann is lenient where the protocol is not (floats into
// integers, wrap-around, NaN written as null); everything here refuses those with WireError::invalidPayload:
// - integers must be JSON integers that fit the field's type; doubles accept any JSON number;
// - a required field that is missing or null fails; an optional one that is missing or null is absent;
// - unknown keys are ignored; a string enumeration accepts exactly its raw strings;
// - encoding refuses non-finite doubles and writes "/" as "\/".
//
// Types plug in three ways: a record with `static T fromJson(const Json&)` and `Json toJson() const`; a
// string enumeration with a `json::EnumStrings<E>` specialisation; anything else with a `json::Coder<T>`
// specialisation
// (`static T from(const Json&)`, `static Json to(const T&)`).
namespace json {

template <class E>
struct EnumStrings;  // specialise: static constexpr std::pair<E, std::string_view> values[] = {...};

template <class T>
struct Coder;  // specialise: static T from(const Json&); static Json to(const T&);

template <class T>
concept Record = requires(const T& value, const Json& json) {
    { T::fromJson(json) } -> std::same_as<T>;
    { value.toJson() } -> std::convertible_to<Json>;
};

template <class E>
concept StringEnum = std::is_enum_v<E> && requires {
    EnumStrings<E>::values;
};

template <class T>
concept HasCoder = requires(const T& value, const Json& json) {
    { Coder<T>::from(json) } -> std::same_as<T>;
    { Coder<T>::to(value) } -> std::convertible_to<Json>;
};

// The raw string of a string enumeration's value (empty for a value without one).
template <StringEnum E>
constexpr std::string_view rawString(E value) {
    for (const auto& [item, raw] : EnumStrings<E>::values) {
        if (item == value)
            return raw;
    }
    return {};
}

// The value whose raw string is exactly `text` (case-sensitive), or nothing.
template <StringEnum E>
constexpr std::optional<E> fromRawString(std::string_view text) {
    for (const auto& [item, raw] : EnumStrings<E>::values) {
        if (raw == text)
            return item;
    }
    return std::nullopt;
}

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::map<std::string, T>> : std::true_type {};

[[noreturn]] void fail(std::string what);
// A text from the peer as it may appear in an error: JSON-quoted (so no control character survives) and
// cut to a few dozen bytes.
std::string quotedForLog(std::string_view text);
const char* typeName(const Json& value);

// Converts one JSON value (a coder takes precedence over a record's own methods).
template <class T>
T from(const Json& value);

template <class T>
Json to(const T& value);

template <class T>
T from(const Json& value) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.is_boolean())
            fail(std::string("expected a boolean, found ") + typeName(value));
        return value.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (value.is_number_unsigned()) {
            auto number = value.get<uint64_t>();
            if (!std::in_range<T>(number))
                fail("integer " + std::to_string(number) + " out of range");
            return static_cast<T>(number);
        }
        if (value.is_number_integer()) {
            auto number = value.get<int64_t>();
            if (!std::in_range<T>(number))
                fail("integer " + std::to_string(number) + " out of range");
            return static_cast<T>(number);
        }
        fail(std::string("expected an integer, found ") + typeName(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!value.is_number())
            fail(std::string("expected a number, found ") + typeName(value));
        return value.get<T>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!value.is_string())
            fail(std::string("expected a string, found ") + typeName(value));
        return value.get<std::string>();
    } else if constexpr (StringEnum<T>) {
        if (!value.is_string())
            fail(std::string("expected a string, found ") + typeName(value));
        const auto& text = value.get_ref<const std::string&>();
        for (const auto& [item, raw] : EnumStrings<T>::values) {
            if (raw == text)
                return item;
        }
        fail("unknown value " + quotedForLog(text));
    } else if constexpr (HasCoder<T>) {
        return Coder<T>::from(value);
    } else if constexpr (Record<T>) {
        if (!value.is_object())
            fail(std::string("expected an object, found ") + typeName(value));
        return T::fromJson(value);
    } else if constexpr (IsVector<T>::value) {
        if (!value.is_array())
            fail(std::string("expected an array, found ") + typeName(value));
        T result;
        result.reserve(value.size());
        for (const auto& element : value)
            result.push_back(from<typename T::value_type>(element));
        return result;
    } else if constexpr (IsStringMap<T>::value) {
        if (!value.is_object())
            fail(std::string("expected an object, found ") + typeName(value));
        T result;
        for (const auto& [key, element] : value.items()) {
            result.emplace(key, from<typename T::mapped_type>(element));
        }
        return result;
    } else {
        static_assert(sizeof(T) == 0, "no JSON coding for this type");
    }
}

template <class T>
Json to(const T& value) {
    if constexpr (std::is_same_v<T, bool> || std::is_integral_v<T> || std::is_same_v<T, std::string>) {
        return Json(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value))
            fail("non-finite number");
        return Json(value);
    } else if constexpr (StringEnum<T>) {
        for (const auto& [item, raw] : EnumStrings<T>::values) {
            if (item == value)
                return Json(std::string(raw));
        }
        fail("enumeration value without a name");
    } else if constexpr (HasCoder<T>) {
        return Coder<T>::to(value);
    } else if constexpr (Record<T>) {
        return value.toJson();
    } else if constexpr (IsVector<T>::value) {
        Json array = Json::array();
        for (const auto& element : value)
            array.push_back(to(element));
        return array;
    } else if constexpr (IsStringMap<T>::value) {
        Json object = Json::object();
        for (const auto& [key, element] : value)
            object[key] = to(element);
        return object;
    } else {
        static_assert(sizeof(T) == 0, "no JSON coding for this type");
    }
}

// A required field of an object: missing, null or ill-typed fails.
template <class T>
T read(const Json& object, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        fail("missing key \"" + std::string(key) + "\"");
    try {
        return from<T>(*it);
    } catch (const WireError& error) {
        fail("key \"" + std::string(key) + "\": " + error.detail());
    }
}

// An optional field: missing or null is absent; present but ill-typed fails.
template <class T>
std::optional<T> readOptional(const Json& object, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    try {
        return from<T>(*it);
    } catch (const WireError& error) {
        fail("key \"" + std::string(key) + "\": " + error.detail());
    }
}

template <class T>
void write(Json& object, std::string_view key, const T& value) {
    object[std::string(key)] = to(value);
}

// Absent values leave the key out.
template <class T>
void writeOptional(Json& object, std::string_view key, const std::optional<T>& value) {
    if (value)
        object[std::string(key)] = to(*value);
}

// Text of a JSON value: compact, "/" as "\/", non-finite numbers and invalid UTF-8 refused.
std::string encode(const Json& value);
// Containers nested deeper than this are refused when decoding.
inline constexpr std::size_t maximumDepth = 32;

// Parses text in time linear in its length; malformed JSON, and JSON nested deeper than maximumDepth, fail
// with WireError::invalidPayload. A repeated key keeps its first position and its last value.
Json decode(std::string_view text);
// Parses text that must hold one JSON object.
Json decodeObject(std::string_view text);

}  // namespace json
}  // namespace kelvora
