#include "app/presenters/ViewHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <deque>

namespace kelvora {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;

TEST(ElapsedText, SwitchesUnitsAtTheMinuteAndHourBoundaries) {
    const struct {
        std::chrono::milliseconds elapsed;
        const char* text;
    } cases[] = {
        {seconds(0), "0 s"},
        {seconds(42), "42 s"},
        {std::chrono::milliseconds(59999), "59 s"},
        {seconds(60), "1 min"},
        {seconds(119), "1 min"},
        {seconds(3599), "59 min"},
        {seconds(3600), "1 h 0 min"},
        {seconds(7325), "2 h 2 min"},
        {seconds(-3), "-3 s"},
        {std::chrono::milliseconds(-2500), "-2 s"},
        {seconds(-3600), "-3600 s"},
        {seconds(100 * 3600 + 59), "100 h 0 min"},
    };
    const auto start = system_clock::time_point(std::chrono::hours(24 * 365 * 50));
    for (const auto& c : cases) {
        EXPECT_EQ(elapsedText(start, start + c.elapsed), c.text) << c.elapsed.count() << " ms";
    }
}

TEST(AppVersionText, MissingOrEmptyValuesReadAsOneZeroAndOne) {
    const struct {
        std::optional<std::string_view> version;
        std::optional<std::string_view> build;
        const char* text;
    } cases[] = {
        {"1.4", "27", "1.4 (27)"},
        {std::nullopt, std::nullopt, "1.0 (1)"},
        {"", "", "1.0 (1)"},
        {"2.0.1", std::nullopt, "2.0.1 (1)"},
        {std::nullopt, "5", "1.0 (5)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(appVersionText(c.version, c.build), c.text);
    }
    EXPECT_EQ(appVersionText(), std::string(KELVORA_VERSION) + " (1)");
}

// A list of interfaces as getifaddrs gives it, built by hand.
class InterfaceList {
  public:
    InterfaceList& ipv4(const char* name, const char* address, unsigned flags = IFF_UP | IFF_RUNNING) {
        sockaddr_in& in = ipv4Addresses_.emplace_back();
        in.sin_family = AF_INET;
        inet_pton(AF_INET, address, &in.sin_addr);
        return add(name, reinterpret_cast<sockaddr*>(&in), flags);
    }
    InterfaceList& ipv6(const char* name, const char* address) {
        sockaddr_in6& in = ipv6Addresses_.emplace_back();
        in.sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &in.sin6_addr);
        return add(name, reinterpret_cast<sockaddr*>(&in), IFF_UP);
    }
    InterfaceList& withoutAddress(const char* name) { return add(name, nullptr, IFF_UP); }

    const ifaddrs* head() {
        for (size_t i = 0; i + 1 < entries_.size(); ++i) {
            entries_[i].ifa_next = &entries_[i + 1];
        }
        return entries_.empty() ? nullptr : &entries_.front();
    }

  private:
    InterfaceList& add(const char* name, sockaddr* address, unsigned flags) {
        ifaddrs& entry = entries_.emplace_back();
        entry.ifa_name = const_cast<char*>(name);
        entry.ifa_flags = flags;
        entry.ifa_addr = address;
        return *this;
    }

    // Deques keep the addresses where they are while more are added.
    std::deque<ifaddrs> entries_;
    std::deque<sockaddr_in> ipv4Addresses_;
    std::deque<sockaddr_in6> ipv6Addresses_;
};

TEST(LocalIPv4Addresses, KeepsUpNonLoopbackIPv4OnceInSystemOrder) {
    InterfaceList list;
    list.ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .withoutAddress("tun0")
        .ipv6("eth0", "fe80::1")
        .ipv4("eth0", "192.168.1.20")
        .ipv4("wlan0", "169.254.10.3")
        .ipv4("eth1", "10.0.0.5", 0)       // down
        .ipv4("eth2", "10.0.0.6", IFF_UP)  // up but not running still counts
        .ipv4("bridge0", "192.168.1.20")   // the same address twice
        .ipv4("eth0", "192.168.1.21")      // a second address of one interface
        .ipv4("weird", "169.25.4.1");      // only a look-alike of the link-local prefix
    EXPECT_EQ(localIPv4Addresses(list.head()),
              (std::vector<std::string>{"192.168.1.20", "10.0.0.6", "192.168.1.21", "169.25.4.1"}));
}

TEST(LocalIPv4Addresses, LoopbackAndLinkLocalOnlyGiveNothing) {
    InterfaceList list;
    list.ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK).ipv4("eth0", "169.254.7.7");
    EXPECT_TRUE(localIPv4Addresses(list.head()).empty());
    EXPECT_TRUE(localIPv4Addresses(nullptr).empty());
}

TEST(LocalIPv4Addresses, TheSystemListNeverNamesLoopback) {
    for (const std::string& address : localIPv4Addresses()) {
        EXPECT_FALSE(address.starts_with("127.")) << address;
        EXPECT_FALSE(address.starts_with("169.254")) << address;
    }
}

}  // namespace
}  // namespace kelvora
