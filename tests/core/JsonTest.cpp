#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/Json.h"

using namespace kelvora;

namespace {

enum class Mood { calm, busy };

struct Sample {
    int count = 0;
    uint8_t tier = 0;
    double ratio = 0;
    std::optional<std::string> note;
    Mood mood = Mood::calm;

    bool operator==(const Sample&) const = default;

    static Sample fromJson(const Json& object) {
        return {json::read<int>(object, "count"), json::read<uint8_t>(object, "tier"),
                json::read<double>(object, "ratio"), json::readOptional<std::string>(object, "note"),
                json::read<Mood>(object, "mood")};
    }
    Json toJson() const {
        Json object = Json::object();
        json::write(object, "count", count);
        json::write(object, "tier", tier);
        json::write(object, "ratio", ratio);
        json::writeOptional(object, "note", note);
        json::write(object, "mood", mood);
        return object;
    }
};

Sample decodeSample(std::string_view text) {
    return json::from<Sample>(json::decodeObject(text));
}

}  // namespace

template <>
struct kelvora::json::EnumStrings<Mood> {
    static constexpr std::pair<Mood, std::string_view> values[] = {{Mood::calm, "calm"},
                                                                   {Mood::busy, "busy"}};
};

TEST(StrictJson, RecordsRoundTripInFieldOrderWithAbsentOptionalsLeftOut) {
    Sample sample{3, 2, 0.5, std::nullopt, Mood::busy};
    std::string text = json::encode(json::to(sample));
    EXPECT_EQ(text, "{\"count\":3,\"tier\":2,\"ratio\":0.5,\"mood\":\"busy\"}");
    EXPECT_EQ(decodeSample(text), sample);
}

TEST(StrictJson, NullOptionalIsAbsentAndUnknownKeysAreIgnored) {
    auto sample = decodeSample(R"({"count":1,"tier":0,"ratio":2,"note":null,"mood":"calm","extra":[1,2]})");
    EXPECT_EQ(sample.note, std::nullopt);
    EXPECT_EQ(sample.ratio, 2.0);
}

TEST(StrictJson, RefusesWhatLenientConversionsWouldAccept) {
    const char* bad[] = {
        R"({"count":1.5,"tier":0,"ratio":1,"mood":"calm"})",         // fraction into an integer
        R"({"count":1.0,"tier":0,"ratio":1,"mood":"calm"})",         // float literal into an integer
        R"({"count":1,"tier":256,"ratio":1,"mood":"calm"})",         // out of range for UInt8
        R"({"count":1,"tier":-1,"ratio":1,"mood":"calm"})",          // negative into unsigned
        R"({"count":4294967296,"tier":0,"ratio":1,"mood":"calm"})",  // would wrap around into int
        R"({"count":"1","tier":0,"ratio":1,"mood":"calm"})",         // string for a number
        R"({"count":1,"tier":0,"ratio":1,"mood":"Calm"})",           // enum strings are case-sensitive
        R"({"count":1,"tier":0,"ratio":1,"mood":"calm","note":5})",  // ill-typed optional
        R"({"count":null,"tier":0,"ratio":1,"mood":"calm"})",        // null required field
        R"({"tier":0,"ratio":1,"mood":"calm"})",                     // missing required field
        R"({"count":1,"tier":0,"ratio":true,"mood":"calm"})",        // bool is not a number
        R"([1,2])",                                                  // not an object
        R"({"count":1,)",                                            // malformed
    };
    for (const char* text : bad) {
        try {
            decodeSample(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const WireError& error) {
            EXPECT_EQ(error.kind(), WireError::Kind::invalidPayload) << text;
        }
    }
}

TEST(StrictJson, EncodingEscapesSlashesAndRefusesNonFiniteNumbers) {
    EXPECT_EQ(json::encode(Json("a/b")), "\"a\\/b\"");
    EXPECT_EQ(json::decode("\"a\\/b\"").get<std::string>(), "a/b");
    Sample sample{1, 0, std::numeric_limits<double>::quiet_NaN(), std::nullopt, Mood::calm};
    EXPECT_THROW(json::to(sample), WireError);
    Json handMade = Json::object();
    handMade["x"] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(json::encode(handMade), WireError);
}

TEST(StrictJson, InvalidUtf8IsAnEncodingError) {
    Json value = std::string("\xff\xfe");
    EXPECT_THROW(json::encode(value), WireError);
}

TEST(StrictJson, NestingIsBoundedAndRepeatedKeysKeepTheirFirstPlaceWithTheLastValue) {
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(json::decode(nested(json::maximumDepth)));
    EXPECT_THROW(json::decode(nested(json::maximumDepth + 1)), WireError);
    EXPECT_THROW(json::decode(std::string(100000, '[')), WireError);

    const Json object = json::decode(R"({"b":1,"a":2,"b":3,"c":{"x":1,"x":2}})");
    EXPECT_EQ(json::encode(object), R"({"b":3,"a":2,"c":{"x":2}})");
}

TEST(StrictJson, AFloodOfUnknownKeysStillReadsTheKnownOnes) {
    std::string text = R"({"count":7,"tier":1,"ratio":0.25,"mood":"busy")";
    for (int i = 0; i < 80000; ++i) {
        text += ",\"k" + std::to_string(i) + "\":0";
    }
    text += "}";
    EXPECT_EQ(decodeSample(text), (Sample{7, 1, 0.25, std::nullopt, Mood::busy}));
}

TEST(StrictJson, PeerTextInErrorsIsQuotedAndCut) {
    try {
        decodeSample(R"({"count":1,"tier":0,"ratio":2,"mood":"calm\n[error] forged )" +
                     std::string(100, 'x') + "\"}");
        FAIL() << "an unknown enumeration string was accepted";
    } catch (const WireError& error) {
        const std::string text = error.text();
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_NE(text.find(R"(\n[error] forged)"), std::string::npos) << text;
        EXPECT_LT(text.size(), 160u) << text;
    }
}
