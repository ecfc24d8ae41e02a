#include "platform/DnsSdBrowser.h"
#include "platform/DnsSdRegistration.h"

#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

using namespace kelvora;
using kelvora::testing::Eventually;

namespace {

// Each test uses a service type of its own, so that tests running side by side against the same daemon do
// not see each other's services.
std::string uniqueType(const char* what) {
    return std::string("_kt") + what + std::to_string(getpid() % 100000) + "._tcp";
}

TxtRecord nineKeys(const std::string& state) {
    TxtRecord txt;
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{{"id", "ID-1"},
                                                                                     {"name", "Studio"},
                                                                                     {"v", "4"},
                                                                                     {"eng", "tcp,quic"},
                                                                                     {"codec", "hevc"},
                                                                                     {"res", "1920x1080"},
                                                                                     {"fps", "30"},
                                                                                     {"state", state},
                                                                                     {"src", "Kamera"}}) {
        txt.set(key, value);
    }
    return txt;
}

const DnsSdService* find(const std::vector<DnsSdService>& services, const std::string& name) {
    auto it = std::find_if(services.begin(), services.end(), [&](const auto& s) { return s.name == name; });
    return it == services.end() ? nullptr : &*it;
}

}  // namespace

TEST(DnsSd, RegisteredServiceIsBrowsedWithItsTxtInOrderAndUpdatedInPlace) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    const std::string type = uniqueType("rt");

    Eventually<DnsSdRegistration::Status> statuses;
    auto registration =
        std::make_unique<DnsSdRegistration>(queue, "Round Trip", type, 47811, nineKeys("live"));
    registration->setStatusHandler([&](const auto& status) { statuses.push(status); });
    registration->start();

    Eventually<std::vector<DnsSdService>> lists;
    DnsSdBrowser browser(queue, type);
    browser.setResultsHandler([&](const auto& services) {
        EXPECT_TRUE(queue->isCurrent());
        lists.push(services);
    });
    browser.start();

    auto registered =
        statuses.waitFor([](const auto& s) { return s.state == DnsSdRegistration::State::registered; });
    ASSERT_TRUE(registered) << "the daemon did not confirm the registration";
    EXPECT_EQ(registered->name, "Round Trip");

    auto found = lists.waitFor([](const auto& list) { return find(list, "Round Trip") != nullptr; });
    ASSERT_TRUE(found) << "the browser did not find the registered service";
    const DnsSdService& service = *find(*found, "Round Trip");
    EXPECT_EQ(service.port, 47811);
    EXPECT_EQ(service.type, type);
    EXPECT_FALSE(service.address.empty());
    EXPECT_EQ(service.txt.strings(), nineKeys("live").strings());
    EXPECT_EQ(
        std::count_if(found->begin(), found->end(), [](const auto& s) { return s.name == "Round Trip"; }), 1)
        << "one entry per service, whatever the interfaces";

    registration->updateTxt(nineKeys("paused"));
    auto updated = lists.waitFor([](const auto& list) {
        const auto* s = find(list, "Round Trip");
        return s && s->txt.value("state") == "paused";
    });
    ASSERT_TRUE(updated) << "the TXT change did not reach the browser";
    EXPECT_EQ(find(*updated, "Round Trip")->txt.strings(), nineKeys("paused").strings());
    EXPECT_EQ(find(*updated, "Round Trip")->port, 47811);
    // Updated in place: the service was never withdrawn in between.
    const auto all = lists.values();
    const auto firstSeen =
        std::find_if(all.begin(), all.end(), [](const auto& l) { return find(l, "Round Trip"); });
    EXPECT_TRUE(
        std::all_of(firstSeen, all.end(), [](const auto& l) { return find(l, "Round Trip") != nullptr; }));

    // Letting go of the registration withdraws the service.
    registration.reset();
    EXPECT_TRUE(lists.waitUntil([](const auto& all) { return find(all.back(), "Round Trip") == nullptr; }))
        << "the service stayed announced after its registration was released";
}

TEST(DnsSd, SecondServiceOfTheSameNameIsRenamed) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    const std::string type = uniqueType("cl");

    Eventually<DnsSdRegistration::Status> first;
    DnsSdRegistration one(queue, "Twin", type, 1001, nineKeys("live"));
    one.setStatusHandler([&](const auto& status) { first.push(status); });
    one.start();
    ASSERT_TRUE(first.waitFor([](const auto& s) { return s.state == DnsSdRegistration::State::registered; }));

    Eventually<DnsSdRegistration::Status> second;
    DnsSdRegistration two(queue, "Twin", type, 1002, nineKeys("live"));
    two.setStatusHandler([&](const auto& status) { second.push(status); });
    two.start();
    auto renamed =
        second.waitFor([](const auto& s) { return s.state == DnsSdRegistration::State::registered; });
    ASSERT_TRUE(renamed) << "the second registration never came up";
    EXPECT_NE(renamed->name, "Twin");
    EXPECT_EQ(renamed->name.rfind("Twin", 0), 0u) << renamed->name;

    Eventually<std::vector<DnsSdService>> lists;
    DnsSdBrowser browser(queue, type);
    browser.setResultsHandler([&](const auto& services) { lists.push(services); });
    browser.start();
    auto both = lists.waitFor([&](const auto& list) { return list.size() == 2; });
    ASSERT_TRUE(both);
    EXPECT_EQ(find(*both, "Twin")->port, 1001);
    EXPECT_EQ(find(*both, renamed->name)->port, 1002);
}

namespace {

// Runs in a process of its own: the D-Bus library reads the bus address once per process.
bool registrationWaitsWithoutABus() {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelvora-test-bus", 1);
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    Eventually<DnsSdRegistration::Status> statuses;
    Eventually<DnsSdBrowser::Status> browserStatuses;
    {
        DnsSdRegistration registration(queue, "Nobody Listens", "_ktnobus._tcp", 1, nineKeys("live"));
        registration.setStatusHandler([&](const auto& status) { statuses.push(status); });
        registration.start();
        DnsSdBrowser browser(queue, "_ktnobus._tcp");
        browser.setStatusHandler([&](const auto& status) { browserStatuses.push(status); });
        browser.start();
        auto waiting = statuses.waitFor(
            [](const auto& s) { return s.state == DnsSdRegistration::State::waitingForDaemon; });
        if (!waiting || !waiting->error) {
            return false;
        }
        if (!browserStatuses.waitFor([](const auto& s) { return s.state == DnsSdBrowser::State::failed; })) {
            return false;
        }
    }
    // The queue is still healthy, and nothing pretended to be registered.
    const auto all = statuses.values();
    return queue->sync([] { return 1; }) == 1 && std::none_of(all.begin(), all.end(), [](const auto& s) {
               return s.state == DnsSdRegistration::State::registered;
           });
}

}  // namespace

TEST(DnsSd, WithoutABusTheRegistrationWaitsInsteadOfFailing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(registrationWaitsWithoutABus() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
