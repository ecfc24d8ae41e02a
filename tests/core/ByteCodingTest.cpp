#include <gtest/gtest.h>

#include "core/ByteReader.h"
#include "core/ByteWriter.h"
#include "core/WireError.h"

using namespace kelvora;

TEST(ByteWriter, WritesIntegersBigEndian) {
    ByteWriter writer(16);
    writer.writeUInt16(0x1234);
    writer.writeUInt32(1);
    writer.writeUInt64(0x0102030405060708ULL);
    EXPECT_EQ(writer.data(), (Bytes{0x12, 0x34, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(ByteWriter, LengthPrefixLimitIs65535AndAFailedWriteLeavesNoTrace) {
    ByteWriter writer;
    writer.writeLengthPrefixed(Bytes{});
    EXPECT_EQ(writer.data(), (Bytes{0, 0}));

    Bytes largest(65535, 0xAB);
    ByteWriter fits;
    fits.writeLengthPrefixed(largest);
    ASSERT_EQ(fits.size(), 65537u);
    EXPECT_EQ(fits.data()[0], 0xFF);
    EXPECT_EQ(fits.data()[1], 0xFF);

    ByteWriter tooLarge;
    tooLarge.writeUInt8(7);
    EXPECT_THROW(tooLarge.writeLengthPrefixed(Bytes(65536, 0)), WireError);
    EXPECT_EQ(tooLarge.data(), (Bytes{7}));
}

TEST(ByteReader, ReadsInOrderAndCountsRemaining) {
    Bytes bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x02};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.readUInt16(), 1);
    EXPECT_EQ(reader.readUInt32(), 2u);
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_TRUE(reader.readRemaining().empty());
}

TEST(ByteReader, ShortReadThrowsTruncatedWithoutMoving) {
    Bytes bytes{0xAA, 0xBB, 0xCC};
    ByteReader reader(bytes);
    try {
        reader.readUInt32();
        FAIL() << "expected truncated";
    } catch (const WireError& error) {
        EXPECT_EQ(error, WireError::truncated());
    }
    EXPECT_EQ(reader.readUInt8(), 0xAA);
    EXPECT_THROW(reader.readUInt64(), WireError);
    EXPECT_EQ(reader.remaining(), 2u);
}

TEST(ByteReader, StaysInsideItsSlice) {
    Bytes buffer{1, 2, 3, 4, 5, 6};
    ByteReader reader(ByteView(buffer).subspan(2, 2));
    EXPECT_EQ(reader.readUInt8(), 3);
    EXPECT_EQ(reader.readUInt8(), 4);
    EXPECT_THROW(reader.readUInt8(), WireError);
}

TEST(ByteReader, ByteCountsAreCheckedBeforeAnyCopy) {
    Bytes bytes{0x00, 0x03, 0x41, 0x42};
    ByteReader reader(bytes);
    EXPECT_THROW(reader.readLengthPrefixed(), WireError);
    EXPECT_EQ(reader.remaining(), 2u);
    EXPECT_TRUE(reader.readBytes(0).empty());
    EXPECT_THROW(reader.readBytes(-1), WireError);
    EXPECT_THROW(reader.readBytes(3), WireError);
    EXPECT_EQ(reader.readBytes(2), (Bytes{0x41, 0x42}));
}

TEST(WireError, EqualityAndTextFollowCaseAndArgument) {
    EXPECT_EQ(WireError::messageTooLarge(5), WireError::messageTooLarge(5));
    EXPECT_NE(WireError::messageTooLarge(5), WireError::messageTooLarge(6));
    EXPECT_NE(WireError::messageTooLarge(5), WireError::truncated());
    EXPECT_EQ(WireError::messageTooLarge(33554433).text(), "messageTooLarge(33554433)");
    EXPECT_EQ(WireError::unknownMessageType(0x7F).text(), "unknownMessageType(127)");
    EXPECT_EQ(WireError::invalidPayload("bad").text(), "invalidPayload(\"bad\")");
    EXPECT_EQ(WireError::truncated().text(), "truncated");
}

#include "core/MonotonicClock.h"

TEST(MonotonicClock, DifferencesAreSignedAndReadingsNeverGoBack) {
    EXPECT_EQ(MonotonicClock::milliseconds(2'000'000, 1'000'000), -1.0);
    EXPECT_EQ(MonotonicClock::milliseconds(1'000'000, 3'500'000), 2.5);
    uint64_t first = MonotonicClock::now();
    EXPECT_GE(MonotonicClock::now(), first);
}
