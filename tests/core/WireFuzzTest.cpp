// Bad input must never crash a decoder: each one gets truncated, bit-flipped and random bytes, and may only
// answer with a WireError (or nullopt, for the simple-stream readers).

#include <gtest/gtest.h>

#include <random>

#include "WireTesting.h"
#include "core/ControlMessage.h"
#include "core/SimpleStreamProtocol.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

using TypeCode = ControlMessage::TypeCode;

// Runs a decoder and tolerates only WireError; anything else escaping is a failure.
template <typename F>
void survives(F&& decode) {
    try {
        decode();
    } catch (const WireError&) {
    } catch (const std::exception& other) {
        ADD_FAILURE() << "unexpected exception: " << other.what();
    }
}

void decodeAsEveryType(ByteView payload) {
    for (int byte = 0; byte < 256; ++byte) {
        if (const auto type = controlTypeCode(static_cast<uint8_t>(byte))) {
            survives([&] { ControlMessage::decode(*type, payload); });
        }
    }
}

void feedEveryDecoder(ByteView bytes) {
    survives([&] { ControlMessage::parseHeader(bytes); });
    decodeAsEveryType(bytes);
    survives([&] { EncodedVideoFrame::fromSerialized(bytes); });
    ControlMessageParser parser;
    survives([&] { (void)parser.append(bytes); });
    SimpleStreamProtocol::parseParameterSets(bytes);
    SimpleStreamProtocol::parseFrame(bytes);
}

}  // namespace

TEST(WireFuzz, EveryPrefixOfEveryMessageIsHandled) {
    for (const ControlMessage& message : sampleOfEveryMessage()) {
        const Bytes frame = message.encoded();
        const Bytes payload(frame.begin() + 5, frame.end());
        for (size_t length = 0; length <= frame.size(); ++length) {
            feedEveryDecoder(ByteView(frame).first(length));
        }
        for (size_t length = 0; length < payload.size(); ++length) {
            survives([&] { ControlMessage::decode(message.typeCode(), ByteView(payload).first(length)); });
        }
    }
}

TEST(WireFuzz, FlippedBytesInValidFramesAreHandled) {
    std::mt19937 random(20240601);
    const auto messages = sampleOfEveryMessage();
    for (int round = 0; round < 1000; ++round) {
        Bytes frame = messages[round % messages.size()].encoded();
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            frame[random() % frame.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
        }
        feedEveryDecoder(frame);
        feedEveryDecoder(ByteView(frame).subspan(5));
    }
}

TEST(WireFuzz, RandomBytesAreHandled) {
    std::mt19937 random(7);
    for (int round = 0; round < 1500; ++round) {
        Bytes bytes(random() % 96);
        for (auto& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        // Give half of them a plausible start so the decoders get past their first checks.
        if (!bytes.empty() && round % 2 == 0) {
            bytes[0] = round % 4 == 0 ? 0x02 : 0x10;
        }
        feedEveryDecoder(bytes);
    }
}

TEST(WireFuzz, ParserReassemblesAnyChunkingOfAValidStream) {
    std::mt19937 random(99);
    const auto messages = sampleOfEveryMessage();
    Bytes stream;
    for (const ControlMessage& message : messages) {
        const Bytes frame = message.encoded();
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (int round = 0; round < 50; ++round) {
        ControlMessageParser parser;
        std::vector<ControlMessage> got;
        for (size_t offset = 0; offset < stream.size();) {
            const size_t chunk = std::min<size_t>(stream.size() - offset, 1 + random() % 80);
            auto result = parser.append(ByteView(stream).subspan(offset, chunk));
            ASSERT_FALSE(result.error) << result.error->text();
            got.insert(got.end(), result.messages.begin(), result.messages.end());
            offset += chunk;
        }
        EXPECT_EQ(got, messages);
        EXPECT_EQ(parser.bufferedByteCount(), 0u);
    }
}

TEST(WireFuzz, MangledJsonRecordsFailAsInvalidPayload) {
    std::mt19937 random(3);
    const std::string alphabet = "{}[]\":,-.0123456789eEtruefalsnl\\/ x\x80\xFF";
    for (const ControlMessage& message : sampleOfEveryMessage()) {
        const Bytes payload = message.encodePayload();
        const bool isJson = message.typeCode() != TypeCode::videoFrame &&
                            message.typeCode() != TypeCode::goodbye &&
                            message.typeCode() != TypeCode::timeSyncRequest &&
                            message.typeCode() != TypeCode::timeSyncResponse;
        if (!isJson) {
            continue;
        }
        for (int round = 0; round < 300; ++round) {
            std::string text = textOf(payload);
            text[random() % text.size()] = alphabet[random() % alphabet.size()];
            const auto error =
                wireErrorOf([&] { ControlMessage::decode(message.typeCode(), bytesOf(text)); });
            if (error) {
                EXPECT_EQ(error->kind(), WireError::Kind::invalidPayload) << text;
            }
        }
    }
}

TEST(WireFuzz, DeeplyNestedJsonDoesNotExhaustTheStack) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const auto error = wireErrorOf([&] { ControlMessage::decode(TypeCode::hello, bytesOf(deep)); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), WireError::Kind::invalidPayload);
    // Even a message that reads nothing of its payload refuses it: nobody walks a value that deep.
    EXPECT_TRUE(wireErrorOf([&] { ControlMessage::decode(TypeCode::restartSource, bytesOf(deep)); }));
    const std::string nested = R"({"a":[[{"b":[]}]]})";
    EXPECT_TRUE(ControlMessage::decode(TypeCode::restartSource, bytesOf(nested)).is<RestartSourceMessage>());
}
