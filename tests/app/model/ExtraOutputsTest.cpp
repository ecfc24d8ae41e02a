#include <gtest/gtest.h>

#include <QSignalSpy>

#include "ModelFakes.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

std::vector<std::string> names(const SenderController& c) {
    std::vector<std::string> result;
    for (const auto& output : c.settings().extraOutputs) {
        result.push_back(output.name);
    }
    return result;
}

}  // namespace

TEST(ExtraOutputs, AreNamedByTheirPlaceAndLimitedToThree) {
    ModelHarness h;
    SenderController& c = h.make();
    for (int i = 0; i < 4; ++i) {
        c.addOutput();
    }
    EXPECT_EQ(names(c), (std::vector<std::string>{"Ausgang 2", "Ausgang 3", "Ausgang 4"}));
    // Before start nothing runs.
    EXPECT_TRUE(c.extraOutputs().isEmpty());
    c.removeOutput(c.settings().extraOutputs[0].id);
    // The count gives the name, so names repeat.
    c.addOutput();
    EXPECT_EQ(names(c), (std::vector<std::string>{"Ausgang 3", "Ausgang 4", "Ausgang 4"}));
}

TEST(ExtraOutputs, RenamingTrimsBlanksOnly) {
    const struct {
        const char* name;
        const char* stored;
    } cases[] = {
        {"  Bühne \t", "Bühne"}, {"   ", "Ausgang 2"}, {"Saal\n", "Saal\n"}, {"Ausgang 2", "Ausgang 2"}};
    for (const auto& c : cases) {
        ModelHarness h;
        SenderController& controller = h.make();
        controller.addOutput();
        controller.renameOutput(controller.settings().extraOutputs[0].id, c.name);
        EXPECT_EQ(names(controller)[0], c.stored) << c.name;
    }
}

TEST(ExtraOutputs, RunWithTheirOwnIdsAndPortsAndRenumberWhenAnEarlierOneGoes) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    for (int i = 0; i < 3; ++i) {
        c.addOutput();
    }
    const auto entries = c.settings().extraOutputs;
    auto extras = h.extraPipelines();
    ASSERT_EQ(extras.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(extras[i]->senderID, c.senderID() + "-" + entries[i].id);
        EXPECT_EQ(extras[i]->created.controlPort, 47811 + i);
        EXPECT_EQ(c.extraOutputs()[static_cast<qsizetype>(i)]->number(), static_cast<int>(i) + 2);
    }

    c.toggleOutputPause(entries[1].id);
    c.removeOutput(entries[0].id);
    for (const auto& old : extras) {
        EXPECT_EQ(old->calls.back(), "stop");
    }
    extras = h.extraPipelines();
    ASSERT_EQ(extras.size(), 5u);
    EXPECT_EQ(extras[3]->created.controlPort, 47811);
    EXPECT_EQ(extras[4]->created.controlPort, 47812);
    EXPECT_EQ(extras[3]->senderID, c.senderID() + "-" + entries[1].id);
    ASSERT_EQ(c.extraOutputs().size(), 2);
    EXPECT_FALSE(c.extraOutputs()[0]->isSourcePaused());

    // A change that keeps the places only re-applies the settings.
    c.renameOutput(entries[2].id, "Foyer");
    c.setOutputSource(entries[2].id, "usb-cam");
    EXPECT_EQ(h.extraPipelines().size(), 5u);
    EXPECT_EQ(extras[4]->updates.back().senderName, "Foyer");
}

TEST(ExtraOutputs, OnlyTheFirstThreeAndTheFirstPerIdRun) {
    ModelHarness h;
    SenderSettings stored;
    const auto id = [](char last) { return "00000000-0000-4000-8000-00000000000" + std::string(1, last); };
    for (const char last : {'A', 'A', 'B', 'C', 'D', 'E'}) {
        stored.extraOutputs.push_back({id(last), std::string("Ausgang ") + last, {}, {}, {}});
    }
    h.storeSettings(stored);
    SenderController& c = h.make();
    c.start();
    std::vector<std::string> running;
    for (const ExtraOutput* output : c.extraOutputs()) {
        running.push_back(output->id());
    }
    EXPECT_EQ(running, (std::vector<std::string>{id('A'), id('B'), id('C')}));
    const auto made = h.pipelines.size();
    for (int i = 0; i < 3; ++i) {
        edit(c, [i](SenderSettings& s) { s.bitrateKbps = 7000 + i; });
    }
    EXPECT_EQ(h.pipelines.size(), made);
    EXPECT_EQ(c.settings().extraOutputs.size(), 6u);
}

TEST(ExtraOutputs, AnOutputAddedWhilePausedIsPausedBeforeItStarts) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.togglePause();
    c.addOutput();
    const auto& calls = h.extraPipelines().at(0)->calls;
    const auto pause = std::find(calls.begin(), calls.end(), "pause");
    const auto start = std::find(calls.begin(), calls.end(), "start");
    ASSERT_NE(pause, calls.end());
    EXPECT_LT(pause, start);
}

TEST(ExtraOutputs, ViewersAreListedWithTheirOutputsName) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.addOutput();
    ClientStatus viewer;
    viewer.name = "iPad";
    SenderStatus status;
    status.clients = {viewer};
    ExtraOutput* output = c.extraOutputs()[0];
    output->setStatus(status);
    h.mainPipeline().statusHandler(status);
    h.settle();
    auto receivers = c.receivers();
    ASSERT_EQ(receivers.size(), 2u);
    EXPECT_EQ(receivers[0].second, "Regie-PC");
    EXPECT_EQ(receivers[1].second, "Ausgang 2");

    // An output whose entry is gone is listed by its number.
    const_cast<SenderSettings&>(c.settings()).extraOutputs.clear();
    EXPECT_EQ(c.receivers()[1].second, "Ausgang 2");
}

TEST(ExtraOutputs, PreviewsPassEveryFortyMilliseconds) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    c.addOutput();
    auto& preview = *h.preview(2);
    const auto frame = [](uint64_t ms) {
        return SourceFrame{PixelBuffer::make(PixelFormat::bgra, 16, 16), ms * 1'000'000, false};
    };
    for (const uint64_t ms : {1000, 1039, 1078, 1118, 1100}) {
        h.extraPipelines()[0]->previewHandler(frame(ms));
    }
    EXPECT_EQ(preview.submitted(), 3u);
}
