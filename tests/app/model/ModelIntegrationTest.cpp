// The model on real pipelines with the test pattern: announcements, ports, frames, renumbering, the stop and
// the simple stream, against the test's own DNS-SD daemon.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <set>

#include "ModelFakes.h"
#include "receiver/session/SenderBrowser.h"
#include "sender/server/TestViewer.h"
#include "support/Eventually.h"
#include "support/ProcessUntil.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

std::optional<uint16_t> portOf(const ExtraOutput* output) {
    return output->status().controlPort;
}

bool accepts(uint16_t port) {
    try {
        RawPeer::connectTo(port);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

TEST(ModelIntegration, OutputsAnnounceServeRenumberAndSayGoodbye) {
    KELVORA_REQUIRE_DNSSD_ENVIRONMENT();
    ModelHarness h;
    SenderSettings stored;
    stored.senderName = "Modell " + std::to_string(getpid());
    stored.enabledEngines = {"tcp"};
    stored.controlPort = 0;
    stored.useTestPattern = true;
    stored.resolution = {320, 180};
    stored.autoResolution = false;
    const std::string ids[] = {"00000000-0000-4000-8000-0000000000A1", "00000000-0000-4000-8000-0000000000A2",
                               "00000000-0000-4000-8000-0000000000A3"};
    for (const std::string& id : ids) {
        stored.extraOutputs.push_back(
            {id, "Ausgang " + id.substr(34), "testpattern", VideoDimensions{320, 180}, 30});
    }
    h.storeSettings(stored);
    h.defaults->set(kPresetKey, true);

    Eventually<std::string> announced;
    auto browser = SenderBrowser::create();
    browser->setOnChange([&](const std::vector<DiscoveredSender>& senders) {
        for (const auto& sender : senders) {
            announced.push(sender.id);
        }
    });
    browser->start();

    SenderController& c = h.make(PipelineFactory::real());
    c.start();
    ASSERT_EQ(c.extraOutputs().size(), 3);
    for (const std::string& suffix : {std::string(), "-" + ids[0], "-" + ids[1], "-" + ids[2]}) {
        const std::string id = c.senderID() + suffix;
        EXPECT_TRUE(
            announced.waitFor([&](const std::string& seen) { return seen == id; }, std::chrono::seconds(30)))
            << id;
    }
    ASSERT_TRUE(processUntil([&] {
        return c.status().controlPort && portOf(c.extraOutputs()[2]) &&
               c.extraOutputs()[0]->status().isLive();
    }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(portOf(c.extraOutputs()[i]), 47811 + i);
    }

    TestViewer first(47811);
    ASSERT_TRUE(first.join(TestViewer::hello("model-first")));
    EXPECT_TRUE(first.nextOf<EncodedVideoFrame>());

    c.removeOutput(ids[0]);
    EXPECT_EQ(first.goodbyeReason(), "sender stopped");
    ASSERT_EQ(c.extraOutputs().size(), 2);
    EXPECT_EQ(c.extraOutputs()[0]->id(), ids[1]);
    ASSERT_TRUE(processUntil([&] { return portOf(c.extraOutputs()[0]) && portOf(c.extraOutputs()[1]); }));
    EXPECT_EQ(portOf(c.extraOutputs()[0]), 47811);
    EXPECT_EQ(portOf(c.extraOutputs()[1]), 47812);

    c.setSimpleStreamEnabled(true);
    EXPECT_TRUE(accepts(47900));
    c.setSimpleStreamEnabled(false);
    EXPECT_FALSE(accepts(47900));

    std::vector<std::unique_ptr<TestViewer>> viewers;
    for (const uint16_t port : {*c.status().controlPort, uint16_t(47811), uint16_t(47812)}) {
        viewers.push_back(std::make_unique<TestViewer>(port));
        ASSERT_TRUE(viewers.back()->join(TestViewer::hello("model-" + std::to_string(port)))) << port;
    }
    c.stop();
    for (auto& viewer : viewers) {
        EXPECT_EQ(viewer->goodbyeReason(), "sender stopped");
    }
    browser->stop();
}
