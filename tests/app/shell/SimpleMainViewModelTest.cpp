#include "app/shell/SimpleMainViewModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/model/ModelFakes.h"

namespace kelvora {
namespace {

using testing::ModelHarness;

// Services on hand-driven timers: delayed calls wait in `pending` until a test runs them.
struct Services {
    std::vector<std::function<void()>> pending;
    bool driverInstalled = false;

    SimpleViewServices make() {
        SimpleViewServices services;
        services.deckLinkProbe = [this] { return driverInstalled; };
        services.delay = [this](int, QObject*, std::function<void()> call) {
            pending.push_back(std::move(call));
        };
        services.addresses = [] { return std::vector<std::string>{"192.168.1.20"}; };
        return services;
    }
};

TEST(SimpleMainViewModel, FormatPickersWriteFlagThenValueAndAsTheSourceKeepsTheSize) {
    ModelHarness h;
    SenderController& c = h.make();
    Services s;
    SimpleMainViewModel view(s.make());
    view.setController(&c);
    auto& updates = h.mainPipeline().updates;
    const size_t before = updates.size();

    view.mainTile()->chooseResolution(1);
    ASSERT_EQ(updates.size(), before + 2);
    EXPECT_FALSE(updates[before].autoResolution);
    EXPECT_EQ(updates[before].resolution, VideoDimensions::hd1080());
    EXPECT_EQ(updates[before + 1].resolution, (VideoDimensions{1280, 720}));
    EXPECT_EQ(view.mainTile()->resolutionIndex(), 1);

    view.mainTile()->chooseResolution(0);
    EXPECT_TRUE(c.settings().autoResolution);
    EXPECT_EQ(c.settings().resolution, (VideoDimensions{1280, 720}));
    EXPECT_EQ(updates.size(), before + 3);

    view.mainTile()->chooseFrameRate(4);
    EXPECT_FALSE(c.settings().autoFrameRate);
    EXPECT_EQ(c.settings().frameRate, 60);
}

TEST(SimpleMainViewModel, RemovingAnExtraOutputRemovesItsTileOnly) {
    ModelHarness h;
    SenderController& c = h.make();
    c.start();
    Services s;
    SimpleMainViewModel view(s.make());
    view.setController(&c);
    EXPECT_EQ(view.columns(), 1);
    for (int i = 0; i < 3; ++i) {
        c.addOutput();
    }
    SimpleMainViewTiles& tiles = *view.extraTiles();
    ASSERT_EQ(tiles.rowCount(), 3);
    EXPECT_EQ(view.columns(), 2);
    EXPECT_TRUE(view.mainCompact());
    ExtraSourceTileModel* first = tiles.tile(0);
    ExtraSourceTileModel* second = tiles.tile(1);
    MainSourceTileModel* main = view.mainTile();

    // A frame rate for the second output keeps its stored size.
    c.setOutputFormat(second->id(), VideoDimensions{1280, 720}, std::nullopt);
    second->chooseFrameRate(1);
    EXPECT_EQ(c.outputSettings(second->id())->resolution, (VideoDimensions{1280, 720}));
    EXPECT_EQ(c.outputSettings(second->id())->frameRate, 25);

    QSignalSpy removed(&tiles, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&tiles, &QAbstractItemModel::modelReset);
    tiles.tile(2)->remove();
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(reset.count(), 0);
    ASSERT_EQ(tiles.rowCount(), 2);
    EXPECT_EQ(tiles.tile(0), first);
    EXPECT_EQ(tiles.tile(1), second);
    EXPECT_EQ(view.mainTile(), main);

    second->remove();
    first->remove();
    EXPECT_EQ(tiles.rowCount(), 0);
    EXPECT_EQ(view.columns(), 1);
    EXPECT_FALSE(view.mainCompact());
}

TEST(SimpleMainViewModel, SourceMenuSetUpEntryExplainsAndWritesNothing) {
    ModelHarness h;
    SenderController& c = h.make();
    Services s;
    s.driverInstalled = true;
    SimpleMainViewModel view(s.make());
    view.setController(&c);
    SourceMenuModel& menu = *view.mainTile()->sourceMenu();
    // "Automatisch", divider, the set-up entry.
    ASSERT_EQ(menu.rowCount(), 3);
    const SenderSettings before = c.settings();
    menu.choose(2);
    EXPECT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(c.settings(), before);
    EXPECT_EQ(menu.currentIndex(), 0);

    c.selectTestPattern();
    EXPECT_EQ(menu.currentTitle(), "Testbild");
    menu.choose(0);
    EXPECT_FALSE(c.settings().useTestPattern);
    EXPECT_EQ(menu.currentTitle(), "Automatisch");
}

TEST(SimpleMainViewModel, RenameFocusAfterTheSheetClosedDoesNothingAndSavingTrims) {
    ModelHarness h;
    SenderController& c = h.make();
    Services s;
    SimpleMainViewModel view(s.make());
    view.setController(&c);
    MainSourceTileModel& tile = *view.mainTile();
    QSignalSpy focus(&tile, &SourceTileModel::focusRequested);

    tile.beginRename();
    EXPECT_EQ(tile.renamePlaceholder(), "Regie-PC");
    EXPECT_EQ(tile.newName(), "");
    tile.dismissRename();
    ASSERT_EQ(s.pending.size(), 1u);
    s.pending[0]();
    EXPECT_EQ(focus.count(), 1);

    // Reopened: the first opening's late focus does nothing, the second's moves the focus again.
    tile.beginRename();
    s.pending[0]();
    EXPECT_EQ(focus.count(), 2);
    s.pending[1]();
    EXPECT_EQ(focus.count(), 3);

    tile.setNewName("  Bühne \t");
    tile.saveRename();
    EXPECT_FALSE(tile.isRenaming());
    EXPECT_EQ(c.settings().senderName, "Bühne");
    EXPECT_EQ(tile.name(), "Bühne");
}

}  // namespace
}  // namespace kelvora
