#include "sender/sources/CaptureDeviceMonitor.h"

#include "support/Eventually.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>

namespace kelvora {
namespace {

// A device list the test changes by hand, announcing each change through an eventfd as udev would.
class ScriptedBackend final : public CaptureDeviceBackend {
  public:
    struct Shared {
        std::mutex mutex;
        std::vector<CaptureDevice> devices;
        std::vector<Event> pending;
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

        ~Shared() { ::close(fd); }

        void change(std::vector<CaptureDevice> now, std::vector<Event> events) {
            std::lock_guard lock(mutex);
            devices = std::move(now);
            pending.insert(pending.end(), events.begin(), events.end());
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
        }
    };

    explicit ScriptedBackend(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    std::vector<CaptureDevice> devices() override {
        std::lock_guard lock(shared_->mutex);
        return shared_->devices;
    }
    int eventDescriptor() override { return shared_->fd; }
    std::vector<Event> receiveEvents() override {
        uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(shared_->fd, &count, sizeof count);
        std::lock_guard lock(shared_->mutex);
        return std::exchange(shared_->pending, {});
    }

  private:
    std::shared_ptr<Shared> shared_;
};

CaptureDevice camera(std::string id, std::string name, CaptureTransport transport) {
    CaptureDevice device;
    device.id = std::move(id);
    device.name = std::move(name);
    device.transport = transport;
    device.devicePath = "/dev/video0";
    device.canCapture = true;
    return device;
}

TEST(CaptureDeviceMonitor, PublishesAtStartAndAgainAfterEveryDeviceChange) {
    auto shared = std::make_shared<ScriptedBackend::Shared>();
    shared->devices = {camera("built-in", "Integrated Camera", CaptureTransport::builtIn)};
    auto monitor =
        CaptureDeviceMonitor::create(std::make_unique<ScriptedBackend>(shared), std::chrono::milliseconds(5));
    testing::Eventually<std::vector<CaptureDeviceInfo>> lists;
    testing::Eventually<size_t> publications;
    monitor->setOnChange([&](const std::vector<CaptureDeviceInfo>& list) {
        lists.push(list);
        publications.push(lists.values().size());
    });
    monitor->start();
    ASSERT_TRUE(lists.waitFor([](const auto& list) { return list.size() == 1; }));

    // A USB card comes: it is listed first, being external.
    shared->change({camera("built-in", "Integrated Camera", CaptureTransport::builtIn),
                    camera("usb-1", "Cam Link 4K", CaptureTransport::usb)},
                   {{"add", "Cam Link 4K"}});
    const auto plugged = lists.waitFor([](const auto& list) { return list.size() == 2; });
    ASSERT_TRUE(plugged);
    EXPECT_EQ((*plugged)[0].id, "usb-1");
    EXPECT_EQ((*plugged)[0].connection, CaptureDeviceInfo::Connection::usb);
    EXPECT_EQ((*plugged)[1].id, "built-in");

    // Two changes in one go publish twice; the last list holds neither camera.
    shared->change({}, {{"remove", "Cam Link 4K"}, {"remove", ""}});
    ASSERT_TRUE(publications.waitFor([](size_t count) { return count == 4; }));
    const auto all = lists.values();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_TRUE(all[2].empty());
    EXPECT_TRUE(all[3].empty());
    EXPECT_TRUE(monitor->refresh().empty());

    // A stored id turns back into a device to open only while a capture device has it.
    auto metadata = camera("meta", "Cam Link 4K", CaptureTransport::usb);
    metadata.canCapture = false;
    shared->change({camera("usb-1", "Cam Link 4K", CaptureTransport::usb), metadata}, {});
    ScriptedBackend backend(shared);
    EXPECT_EQ(CaptureDeviceMonitor::device("usb-1", backend)->devicePath, "/dev/video0");
    EXPECT_FALSE(CaptureDeviceMonitor::device("meta", backend));
    EXPECT_FALSE(CaptureDeviceMonitor::device("gone", backend));
}

TEST(CaptureDeviceMonitor, TheSystemsDeviceListHoldsOnlyUsableCaptureDevices) {
    // Whatever this machine has (often nothing): every listed device can be opened again by its id.
    auto monitor = CaptureDeviceMonitor::create();
    testing::Eventually<std::vector<CaptureDeviceInfo>> lists;
    monitor->setOnChange([&](const std::vector<CaptureDeviceInfo>& list) { lists.push(list); });
    monitor->start();
    const auto list = lists.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(list);
    for (const CaptureDeviceInfo& info : *list) {
        EXPECT_FALSE(info.id.empty());
        EXPECT_FALSE(info.name.empty());
        EXPECT_TRUE(CaptureDeviceMonitor::device(info.id)) << info.id;
    }
}

}  // namespace
}  // namespace kelvora
