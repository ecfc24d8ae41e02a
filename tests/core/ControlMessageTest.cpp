#include <gtest/gtest.h>

#include <set>

#include "WireTesting.h"
#include "core/ControlMessage.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

using TypeCode = ControlMessage::TypeCode;

ControlMessage decodeFrame(const Bytes& frame) {
    const auto header = ControlMessage::parseHeader(frame);
    EXPECT_EQ(header.length + ControlMessage::headerLength, frame.size());
    return ControlMessage::decode(header.type, ByteView(frame).subspan(ControlMessage::headerLength));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

TEST(ControlMessage, EveryCaseRoundTripsUnderItsOwnTypeCode) {
    std::set<TypeCode> seen;
    for (const ControlMessage& message : sampleOfEveryMessage()) {
        const Bytes frame = message.encoded();
        ASSERT_GE(frame.size(), 5u);
        EXPECT_EQ(frame[0], static_cast<uint8_t>(message.typeCode()));
        EXPECT_EQ(decodeFrame(frame), message) << typeCodeName(message.typeCode());
        EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), message.encodePayload());
        seen.insert(message.typeCode());
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST(ControlMessage, TypeCodesAreExactlyTheTwentyKnownBytes) {
    int known = 0;
    for (int byte = 0; byte < 256; ++byte) {
        const auto type = controlTypeCode(static_cast<uint8_t>(byte));
        if (type) {
            ++known;
            EXPECT_EQ(static_cast<int>(*type), byte);
        }
    }
    EXPECT_EQ(known, 20);
    EXPECT_EQ(controlTypeCode(0x2A), TypeCode::streamTuningUpdate);
    EXPECT_EQ(controlTypeCode(0x04), std::nullopt);
    EXPECT_EQ(typeCodeName(TypeCode::streamTuningUpdate), "streamTuningUpdate");
    EXPECT_EQ(typeCodeName(TypeCode::welcome), "welcome");
}

TEST(ControlMessage, GoldenFramesOfGoodbyeRestartAndTimeSync) {
    EXPECT_EQ(ControlMessage(GoodbyeMessage{}).encoded(), (Bytes{0x0F, 0, 0, 0, 0}));
    EXPECT_EQ(decodeFrame(Bytes{0x0F, 0, 0, 0, 0}), ControlMessage(GoodbyeMessage{""}));
    EXPECT_EQ(ControlMessage(RestartSourceMessage{}).encoded(), (Bytes{0x27, 0, 0, 0, 2, 0x7B, 0x7D}));

    const Bytes times{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(ControlMessage(TimeSyncRequest{{1, 2, 3}}).encoded(), concat({{0x30, 0, 0, 0, 0x18}, times}));
    EXPECT_EQ(ControlMessage(TimeSyncResponse{{1, 2, 3}}).encoded(), concat({{0x31, 0, 0, 0, 0x18}, times}));
}

TEST(ControlMessage, TimeSyncNeeds24BytesAndIgnoresMore) {
    const Bytes payload(25, 0x01);
    EXPECT_EQ(
        wireErrorOf([&] { ControlMessage::decode(TypeCode::timeSyncRequest, ByteView(payload).first(23)); }),
        WireError::truncated());
    const auto message = ControlMessage::decode(TypeCode::timeSyncResponse, payload);
    ASSERT_TRUE(message.is<TimeSyncResponse>());
    EXPECT_EQ(message.get<TimeSyncResponse>()->serverSendTime, 0x0101010101010101u);
}

TEST(ControlMessage, HeaderChecksTypeBeforeLength) {
    EXPECT_EQ(wireErrorOf([] { ControlMessage::parseHeader(Bytes{}); }), WireError::truncated());
    EXPECT_EQ(wireErrorOf([] { ControlMessage::parseHeader(Bytes{0xFF}); }),
              WireError::unknownMessageType(0xFF));
    EXPECT_EQ(wireErrorOf([] { ControlMessage::parseHeader(Bytes{0x01}); }), WireError::truncated());
    EXPECT_EQ(wireErrorOf([] {
                  ControlMessage::parseHeader(Bytes{0x04, 0, 0, 0, 0});
              }),
              WireError::unknownMessageType(0x04));
    EXPECT_EQ(wireErrorOf([] {
                  ControlMessage::parseHeader(Bytes{0x01, 0x02, 0, 0, 1});
              }),
              WireError::messageTooLarge(0x2000001));
    EXPECT_EQ(ControlMessage::parseHeader(Bytes{0x01, 0x02, 0, 0, 0, 0xAA}),
              (ControlMessage::Header{TypeCode::hello, 0x2000000}));
}

TEST(ControlMessage, PayloadLimitIsInclusive) {
    EXPECT_EQ(ControlMessage(GoodbyeMessage{std::string(0x2000000, 'x')}).encoded().size(), 0x2000005u);
    EXPECT_EQ(wireErrorOf([] { ControlMessage(GoodbyeMessage{std::string(0x2000001, 'x')}).encoded(); }),
              WireError::messageTooLarge(0x2000001));
}

TEST(ControlMessage, SharedRecordsDifferOnlyInTheTypeByte) {
    const TierReadyMessage record{1, true};
    Bytes tierReady = ControlMessage(record).encoded();
    const Bytes preferTier = ControlMessage(PreferTierMessage{record}).encoded();
    EXPECT_EQ(tierReady[0], 0x22);
    EXPECT_EQ(preferTier[0], 0x24);
    tierReady[0] = 0x24;
    EXPECT_EQ(tierReady, preferTier);
    EXPECT_NE(ControlMessage(record), ControlMessage(PreferTierMessage{record}));
}

TEST(ControlMessage, JsonFailuresNameTheMessageType) {
    const auto empty = wireErrorOf([] { ControlMessage::decode(TypeCode::restartSource, Bytes{}); });
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->kind(), WireError::Kind::invalidPayload);
    EXPECT_EQ(empty->detail().rfind("restartSource: ", 0), 0u) << empty->detail();

    const auto missing =
        wireErrorOf([] { ControlMessage::decode(TypeCode::welcome, bytesOf(R"({"senderName":"S"})")); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), WireError::Kind::invalidPayload);
    EXPECT_EQ(missing->detail().rfind("welcome: ", 0), 0u) << missing->detail();

    EXPECT_TRUE(ControlMessage::decode(TypeCode::restartSource, bytesOf(R"({"any":[1,2,{}]})"))
                    .is<RestartSourceMessage>());
    EXPECT_EQ(ControlMessage::decode(TypeCode::mediaAttach, bytesOf(R"({"sessionToken":"X","more":1})")),
              ControlMessage(MediaAttachMessage{"X"}));
    // Trailing text after the object is not JSON.
    EXPECT_TRUE(wireErrorOf(
        [] { ControlMessage::decode(TypeCode::mediaAttach, bytesOf(R"({"sessionToken":"X"}x)")); }));
}

TEST(ControlMessage, EmptyPayloadsFailByForm) {
    EXPECT_EQ(wireErrorOf([] { ControlMessage::decode(TypeCode::videoFrame, Bytes{}); }),
              WireError::truncated());
    EXPECT_EQ(wireErrorOf([] { ControlMessage::decode(TypeCode::timeSyncRequest, Bytes{}); }),
              WireError::truncated());
    EXPECT_EQ(wireErrorOf([] { ControlMessage::decode(TypeCode::hello, Bytes{}); })->kind(),
              WireError::Kind::invalidPayload);
    // The frame reader's own errors pass through without the JSON prefix.
    EXPECT_EQ(wireErrorOf([] { ControlMessage::decode(TypeCode::videoFrame, Bytes{0x03}); }),
              WireError::unsupportedVersion(3));
}

TEST(ControlMessage, GoodbyeReplacesInvalidUtf8) {
    const auto message = ControlMessage::decode(TypeCode::goodbye, Bytes{'b', 'y', 'e', 0xFF});
    EXPECT_EQ(message.get<GoodbyeMessage>()->reason, "bye\xEF\xBF\xBD");
    EXPECT_EQ(ControlMessage::decode(TypeCode::goodbye, bytesOf("Tsch\xC3\xBC\xC3\x9F")),
              ControlMessage(GoodbyeMessage{"Tsch\xC3\xBC\xC3\x9F"}));
}

TEST(ControlMessageParser, KeepsPartialFramesUntilTheyComplete) {
    const Bytes first = ControlMessage(GoodbyeMessage{"a"}).encoded();
    const Bytes second = ControlMessage(FrameRateLimitMessage{25}).encoded();
    const Bytes third = ControlMessage(MediaAttachMessage{"token"}).encoded();
    const Bytes all = concat({first, second, third});

    ControlMessageParser parser;
    auto result = parser.append(ByteView(all).first(first.size() + second.size() + 3));
    EXPECT_FALSE(result.error);
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_EQ(result.messages[1], ControlMessage(FrameRateLimitMessage{25}));
    EXPECT_EQ(parser.bufferedByteCount(), 3u);

    result = parser.append(ByteView(all).subspan(first.size() + second.size() + 3));
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0], ControlMessage(MediaAttachMessage{"token"}));
    EXPECT_EQ(parser.bufferedByteCount(), 0u);
}

TEST(ControlMessageParser, WaitsForAWholeHeaderAndPayload) {
    const Bytes frame = ControlMessage(MediaAttachMessage{"token"}).encoded();
    ControlMessageParser parser;
    EXPECT_TRUE(parser.append(ByteView(frame).first(3)).messages.empty());
    EXPECT_TRUE(parser.append(ByteView(frame).subspan(3, 4)).messages.empty());
    EXPECT_EQ(parser.bufferedByteCount(), 7u);
    // Byte by byte works as well as in one piece.
    std::vector<ControlMessage> got;
    for (size_t i = 7; i < frame.size(); ++i) {
        auto result = parser.append(ByteView(frame).subspan(i, 1));
        got.insert(got.end(), result.messages.begin(), result.messages.end());
    }
    EXPECT_EQ(got, std::vector<ControlMessage>{MediaAttachMessage{"token"}});
}

TEST(ControlMessageParser, BadPayloadKeepsEarlierMessagesAndGoesOnWithTheNextFrame) {
    const Bytes good = ControlMessage(TierReadyMessage{0, std::nullopt}).encoded();
    const Bytes bad{0x22, 0, 0, 0, 2, '{', '}'};  // a tierReady without its tier
    const Bytes after = ControlMessage(GoodbyeMessage{"later"}).encoded();

    ControlMessageParser parser;
    auto result = parser.append(concat({good, bad, after}));
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0], ControlMessage(TierReadyMessage{0, std::nullopt}));
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->kind(), WireError::Kind::invalidPayload);

    result = parser.append({});
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.messages, std::vector<ControlMessage>{GoodbyeMessage{"later"}});
}

TEST(ControlMessageParser, BadHeaderIsStickyButEarlierMessagesAreDelivered) {
    const Bytes good = ControlMessage(GoodbyeMessage{"x"}).encoded();
    ControlMessageParser parser;
    auto result = parser.append(concat({good, {0x04, 0, 0, 0, 0}}));
    EXPECT_EQ(result.messages, std::vector<ControlMessage>{GoodbyeMessage{"x"}});
    EXPECT_EQ(result.error, WireError::unknownMessageType(0x04));
    for (int i = 0; i < 2; ++i) {
        result = parser.append(good);
        EXPECT_TRUE(result.messages.empty());
        EXPECT_EQ(result.error, WireError::unknownMessageType(0x04));
    }
}

TEST(ControlMessageParser, HugeAnnouncedLengthIsNotAllocatedAhead) {
    ControlMessageParser parser;
    // The announced 32 MiB never arrive; only what was received is held.
    auto result = parser.append(Bytes{0x10, 0x02, 0x00, 0x00, 0x00, 0x02});
    EXPECT_TRUE(result.messages.empty());
    EXPECT_FALSE(result.error);
    EXPECT_EQ(parser.bufferedByteCount(), 6u);
    EXPECT_LT(parser.bufferedCapacity(), 4096u);
}
