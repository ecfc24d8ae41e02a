#include "app/developer/OutputsPanelModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/model/ModelFakes.h"

namespace kelvora {
namespace {

using testing::ModelHarness;

class OutputsPanelModelTest : public ::testing::Test {
  protected:
    OutputsPanelModelTest() : controller(harness.make()) {
        controller.start();
        model.setController(&controller);
    }
    ~OutputsPanelModelTest() override { controller.stop(); }

    ModelHarness harness;
    SenderController& controller;
    OutputsPanelModel model;
};

TEST_F(OutputsPanelModelTest, RowsStayWithTheirOutputWhileOthersComeAndGo) {
    EXPECT_TRUE(model.showsHint());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(model.canAdd()) << i;
        model.addOutput();
    }
    EXPECT_FALSE(model.canAdd());
    EXPECT_FALSE(model.showsHint());
    model.addOutput();
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.row(2)->name(), "Ausgang 4");

    OutputRowModel* second = model.row(1);
    OutputRowModel* third = model.row(2);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.row(0)->remove();
    harness.settle();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(removed.count(), 1);
    // The same rows, renumbered with their outputs.
    EXPECT_EQ(model.row(0), second);
    EXPECT_EQ(model.row(1), third);
    EXPECT_EQ(second->number(), 2);
    EXPECT_EQ(third->number(), 3);
    EXPECT_TRUE(model.canAdd());
}

TEST_F(OutputsPanelModelTest, EachPickIsOneControllerCallCarryingTheOtherValue) {
    model.addOutput();
    OutputRowModel* row = model.row(0);
    ASSERT_NE(row, nullptr);
    const std::string id = row->outputID().toStdString();
    row->chooseFrameRate(3);
    EXPECT_EQ(controller.outputSettings(id)->frameRate, 50);

    QSignalSpy writes(&controller, &SenderController::settingsChanged);
    struct Pick {
        const char* name;
        std::function<void()> pick;
        int writes;
        std::optional<VideoDimensions> resolution;
        std::optional<int> frameRate;
        std::optional<std::string> source;
    };
    const std::vector<Pick> picks = {
        {"1080p keeps 50 fps", [&] { row->chooseResolution(2); }, 1, VideoDimensions{1920, 1080}, 50, {}},
        {"as the source keeps 50 fps", [&] { row->chooseResolution(0); }, 1, std::nullopt, 50, {}},
        {"test picture", [&] { row->chooseSource(1); }, 1, std::nullopt, 50, "testpattern"},
        {"a row beyond the list", [&] { row->chooseSource(9); }, 0, std::nullopt, 50, "testpattern"},
        {"auto frame rate", [&] { row->chooseFrameRate(0); }, 1, std::nullopt, std::nullopt, "testpattern"},
        {"none", [&] { row->chooseSource(0); }, 1, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Pick& p : picks) {
        writes.clear();
        p.pick();
        EXPECT_EQ(writes.count(), p.writes) << p.name;
        const OutputSettings stored = *controller.outputSettings(id);
        EXPECT_EQ(stored.resolution, p.resolution) << p.name;
        EXPECT_EQ(stored.frameRate, p.frameRate) << p.name;
        EXPECT_EQ(stored.sourceID, p.source) << p.name;
    }
    EXPECT_EQ(row->sourceIndex(), 0);
    EXPECT_EQ(row->frameRateIndex(), 0);
}

TEST_F(OutputsPanelModelTest, StatusLineFollowsTheOutputAndThePause) {
    model.addOutput();
    OutputRowModel* row = model.row(0);
    SenderStatus failing;
    failing.state = SenderStatus::State::error("Gerät belegt");
    failing.sourceName = "Testbild";
    harness.extraPipelines().front()->statusHandler(failing);
    harness.settle();
    EXPECT_EQ(row->statusLine(), "Fehler: Gerät belegt");
    controller.togglePause();
    EXPECT_EQ(row->statusLine(), "Pausiert · Testbild");
}

}  // namespace
}  // namespace kelvora
