#include "platform/AvahiStrings.h"
#include "platform/DnsSdError.h"
#include "platform/DnsSdRegistration.h"
#include "platform/TxtRecord.h"

#include <gtest/gtest.h>

using namespace kelvora;

TEST(TxtRecord, KeepsOrderAndReplacesValuesInPlace) {
    TxtRecord record;
    record.set("id", "A");
    record.set("name", "Studio");
    record.set("v", "4");
    record.set("NAME", "Halle");  // keys compare without case
    EXPECT_EQ(record.strings(), (std::vector<std::string>{"id=A", "name=Halle", "v=4"}));
    EXPECT_EQ(record.value("Name"), "Halle");
    EXPECT_FALSE(record.value("src").has_value());
}

TEST(TxtRecord, RefusesWhatOneTxtStringCannotCarry) {
    TxtRecord record;
    EXPECT_THROW(record.set("", "x"), DnsSdError);
    EXPECT_THROW(record.set("a=b", "x"), DnsSdError);
    EXPECT_THROW(record.set("n\xC3\xA4", "x"), DnsSdError);
    EXPECT_NO_THROW(record.set("k", std::string(253, 'x')));  // 1 + 1 + 253 = 255 bytes
    try {
        record.set("k", std::string(254, 'x'));
        FAIL() << "a 256-byte string was accepted";
    } catch (const DnsSdError& error) {
        EXPECT_EQ(error.kind(), DnsSdError::Kind::invalidRecord);
    }
    EXPECT_EQ(record.value("k")->size(), 253u);  // the refused value left the old one alone
}

TEST(TxtRecord, ReadsNetworkStringsLeniently) {
    const auto record = TxtRecord::fromStrings({"", "=orphan", "flag", "id=1", "empty=", "ID=2", "eq=a=b"});
    EXPECT_EQ(record.entries().size(), 5u);
    EXPECT_TRUE(record.contains("flag"));
    EXPECT_FALSE(record.value("flag").has_value());  // present without a value
    EXPECT_EQ(record.value("id"), "1");              // the first of duplicates wins
    EXPECT_EQ(record.value("empty"), "");
    EXPECT_EQ(record.value("eq"), "a=b");
}

TEST(AvahiStrings, PublishedListGoesOutInRecordOrder) {
    TxtRecord record;
    record.set("first", "1");
    record.set("second", "2");
    record.set("third", "");
    auto list = avahi::toStringList(record);
    uint8_t wire[64] = {};
    const size_t used = avahi_string_list_serialize(list.get(), wire, sizeof wire);
    const std::string expected = std::string(
        "\x07"
        "first=1"
        "\x08"
        "second=2"
        "\x06"
        "third=");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(wire), used), expected);
}

TEST(AvahiStrings, ReceivedListIsReadFromItsHead) {
    AvahiStringList* list = avahi_string_list_add(nullptr, "b=2");
    list = avahi_string_list_add(list, "a=1");  // head
    EXPECT_EQ(avahi::fromStringList(list), (std::vector<std::string>{"a=1", "b=2"}));
    avahi_string_list_free(list);
    EXPECT_TRUE(avahi::fromStringList(nullptr).empty());
}

TEST(DnsSdRegistration, NamesAreCutTo63BytesOnCharacterBoundaries) {
    EXPECT_EQ(DnsSdRegistration::fitName("Studio"), "Studio");
    EXPECT_EQ(DnsSdRegistration::fitName(std::string(70, 'a')), std::string(63, 'a'));
    // 62 ASCII bytes and a two-byte letter: the letter does not fit and is dropped whole.
    const std::string name = std::string(62, 'a') + "\xC3\xA4" + "b";
    EXPECT_EQ(DnsSdRegistration::fitName(name), std::string(62, 'a'));
    EXPECT_EQ(DnsSdRegistration::fitName("Halle \xFF"), "Halle \uFFFD");
}
