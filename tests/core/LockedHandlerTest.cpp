#include "core/LockedHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace kelvora;

TEST(LockedHandler, CallWithoutHandlerDoesNothing) {
    LockedHandler<int> handler;
    EXPECT_FALSE(handler.hasHandler());
    handler(1);

    int calls = 0;
    handler.set([&](int) { ++calls; });
    EXPECT_TRUE(handler.hasHandler());
    handler.set(nullptr);
    EXPECT_FALSE(handler.hasHandler());
    handler(2);
    EXPECT_EQ(calls, 0);
}

TEST(LockedHandler, DeliversValuesAndReplacesTheHandler) {
    LockedHandler<std::unique_ptr<int>> handler;
    std::vector<int> first, second;
    handler.set([&](std::unique_ptr<int> value) { first.push_back(*value); });
    handler(std::make_unique<int>(1));
    handler.set([&](std::unique_ptr<int> value) { second.push_back(*value); });
    handler(std::make_unique<int>(2));
    EXPECT_EQ(first, std::vector<int>{1});
    EXPECT_EQ(second, std::vector<int>{2});
}

TEST(LockedHandler, HandlerThatClearsItselfFinishesAndIsNotCalledAgain) {
    LockedHandler<int> handler;
    int calls = 0;
    int lastValue = 0;
    handler.set([&](int value) {
        handler.set(nullptr);
        ++calls;
        lastValue = value;
    });
    handler(7);
    handler(8);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lastValue, 7);
    EXPECT_FALSE(handler.hasHandler());
}

TEST(LockedHandler, ReplacedHandlerCapturesAreReleasedOutsideTheLock) {
    // The old handler's captures die inside `set`; their destructor touching the holder must not deadlock.
    LockedHandler<int> handler;
    struct TouchOnDestroy {
        LockedHandler<int>* holder;
        ~TouchOnDestroy() { (void)holder->hasHandler(); }
    };
    auto guard = std::make_shared<TouchOnDestroy>(TouchOnDestroy{&handler});
    handler.set([guard](int) {});
    guard.reset();
    handler.set(nullptr);
    EXPECT_FALSE(handler.hasHandler());
}
