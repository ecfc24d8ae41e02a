#include <gtest/gtest.h>

#include "WireTesting.h"
#include "core/SimpleStreamProtocol.h"

using namespace kelvora;
using namespace kelvora::testing;

using Simple = SimpleStreamProtocol;

TEST(SimpleStreamProtocol, ParameterSetsMessageGolden) {
    const Bytes body = Simple::parameterSetsBody(std::vector<Bytes>{{0x67, 0x42}});
    EXPECT_EQ(body, (Bytes{0x01, 0x00, 0x02, 0x67, 0x42}));
    EXPECT_EQ(Simple::message(Simple::MessageType::parameterSets, body),
              (Bytes{0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x00, 0x02, 0x67, 0x42}));
}

TEST(SimpleStreamProtocol, ParameterSetsReaderRejectsMissingSetsAndIgnoresTrailingBytes) {
    EXPECT_EQ(Simple::parseParameterSets(Bytes{}), std::nullopt);
    EXPECT_EQ(Simple::parseParameterSets(Bytes{0x00}), std::vector<Bytes>{});
    EXPECT_EQ(Simple::parseParameterSets(Bytes{0x02, 0x00, 0x01, 0xAA}), std::nullopt);
    EXPECT_EQ(Simple::parseParameterSets(Bytes{0x01, 0x00}), std::nullopt);
    EXPECT_EQ(Simple::parseParameterSets(Bytes{0x01, 0x00, 0x01, 0xAA, 0xBB}), std::vector<Bytes>{{0xAA}});
    const std::vector<Bytes> sets{{0x67, 0x64, 0x00, 0x28}, {0x68, 0xEE}, {}};
    EXPECT_EQ(Simple::parseParameterSets(Simple::parameterSetsBody(sets)), sets);
}

TEST(SimpleStreamProtocol, FrameBodyNeedsAtLeastOneDataByte) {
    const Bytes body = Simple::frameBody(true, 0x0102030405060708, Bytes{0xAB});
    EXPECT_EQ(body, (Bytes{0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB}));
    EXPECT_EQ(Simple::parseFrame(body), (Simple::Frame{true, 0x0102030405060708, Bytes{0xAB}}));
    EXPECT_EQ(Simple::parseFrame(ByteView(body).first(9)), std::nullopt);

    Bytes notKey = body;
    notKey[0] = 2;
    EXPECT_FALSE(Simple::parseFrame(notKey)->isKeyframe);
}

TEST(SimpleStreamProtocol, MessageTypesAndWriterLimits) {
    EXPECT_EQ(Simple::messageType(2), Simple::MessageType::frame);
    EXPECT_EQ(Simple::messageType(0), std::nullopt);
    EXPECT_EQ(Simple::messageType(3), std::nullopt);
    EXPECT_EQ(wireErrorOf([] { Simple::parameterSetsBody(std::vector<Bytes>(256, Bytes{1})); }),
              WireError::valueTooLarge());
    EXPECT_EQ(wireErrorOf([] { Simple::parameterSetsBody(std::vector<Bytes>{Bytes(65536)}); }),
              WireError::valueTooLarge());
}
