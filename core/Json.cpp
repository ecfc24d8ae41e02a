#include "core/Json.h"

#include <unordered_map>
#include <vector>

namespace kelvora::json {

void fail(std::string what) {
    throw WireError::invalidPayload(std::move(what));
}

std::string quotedForLog(std::string_view text) {
    constexpr std::size_t shown = 48;
    std::string cut(text.substr(0, shown));
    std::string quoted = Json(cut).dump(-1, ' ', true, Json::error_handler_t::replace);
    return text.size() > shown ? quoted + "…" : quoted;
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

namespace {

// Builds the value as the text is read. nlohmann's own DOM builder inserts each key of an ordered object
// with a search through the keys before it, so an object of n keys costs n^2 comparisons: a viewer's hello
// with tens of thousands of unknown keys would hold the server queue for seconds. Here each object keeps a
// hash index of its keys while it is built, which makes the whole parse linear in the text. A repeated key
// replaces the earlier value in place, as nlohmann would. Nesting is bounded: no record of the protocol is
// more than a few levels deep, and the depth bounds the work of whoever walks the value afterwards.
class LinearBuilder {
  public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    bool number_integer(number_integer_t value) { return put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) { return put(Json(value)); }
    bool string(string_t& value) { return put(Json(std::move(value))); }
    bool binary(binary_t&) { return false; }

    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool key(string_t& key) {
        stack_.back().key = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    bool tooDeep() const { return tooDeep_; }
    Json take() { return std::move(root_); }

  private:
    struct Level {
        Json value;
        std::string key;
        std::unordered_map<std::string, std::size_t> index;
    };

    bool open(Json container) {
        if (stack_.size() >= maximumDepth) {
            tooDeep_ = true;
            return false;
        }
        stack_.push_back(Level{std::move(container), {}, {}});
        return true;
    }

    bool close() {
        Json finished = std::move(stack_.back().value);
        stack_.pop_back();
        return put(std::move(finished));
    }

    bool put(Json value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Level& level = stack_.back();
        if (level.value.is_array()) {
            level.value.get_ref<Json::array_t&>().push_back(std::move(value));
            return true;
        }
        // The ordered map is a vector of pairs underneath; appending there skips its linear key search.
        auto& members =
            static_cast<std::vector<Json::object_t::value_type>&>(level.value.get_ref<Json::object_t&>());
        const auto [slot, isNew] = level.index.try_emplace(level.key, members.size());
        if (isNew) {
            members.emplace_back(std::move(level.key), std::move(value));
        } else {
            members[slot->second].second = std::move(value);
        }
        return true;
    }

    std::vector<Level> stack_;
    Json root_;
    bool tooDeep_ = false;
};

}  // namespace

Json decode(std::string_view text) {
    LinearBuilder builder;
    const bool parsed = Json::sax_parse(text.begin(), text.end(), &builder);
    if (builder.tooDeep())
        fail("nested deeper than " + std::to_string(maximumDepth) + " levels");
    if (!parsed)
        fail("malformed JSON");
    return builder.take();
}

Json decodeObject(std::string_view text) {
    Json value = decode(text);
    if (!value.is_object())
        fail(std::string("expected an object, found ") + typeName(value));
    return value;
}

}  // namespace kelvora::json
