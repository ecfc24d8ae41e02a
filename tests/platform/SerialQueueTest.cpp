#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kelvora;
using namespace std::chrono_literals;

namespace {

// Waits for a promise without letting a broken queue hang the test program.
template <typename T>
T await(std::future<T>& future) {
    if (future.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the queue did not answer within 10 s";
        throw std::runtime_error("queue timeout");
    }
    return future.get();
}

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

}  // namespace

TEST(SerialQueue, LabelsFollowThePrefixAndNameTheThreadAfterTheLastComponent) {
    EXPECT_EQ(SerialQueue::labelFor("receiver.session"), "app.kelvora.sender.receiver.session");
    EXPECT_EQ(SerialQueue::threadNameFor("app.kelvora.sender.receiver.session"), "session");
    EXPECT_EQ(SerialQueue::threadNameFor("app.kelvora.sender.averyveryverylongsuffix"), "averyveryverylo");
    EXPECT_EQ(SerialQueue::threadNameFor("plain"), "plain");
    // 14 ASCII bytes and a two-byte letter would end in half a character at 15 bytes.
    EXPECT_EQ(SerialQueue::threadNameFor("x.abcdefghijklmnä"), "abcdefghijklmn");

    SerialQueue queue(SerialQueue::labelFor("capture.output"));
    EXPECT_EQ(queue.label(), "app.kelvora.sender.capture.output");
    EXPECT_EQ(queue.sync([] { return currentThreadName(); }), "output");
}

TEST(SerialQueue, RunsTasksOneAfterAnotherInOrderOnItsOwnThread) {
    SerialQueue queue("app.kelvora.sender.test");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;
    std::atomic<int> concurrent{0};
    bool overlapped = false;
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            if (concurrent.fetch_add(1) != 0) {
                overlapped = true;
            }
            if (!queue.isCurrent()) {
                overlapped = true;
            }
            order.push_back(i);
            concurrent.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncReturnsResultsPassesExceptionsAndRunsInlineOnTheQueue) {
    SerialQueue queue("app.kelvora.sender.test");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // A nested sync on the queue itself must not wait for itself.
    EXPECT_EQ(queue.sync([&] { return queue.sync([] { return 7; }) + 1; }), 8);
}

TEST(SerialQueue, OneShotTimerRunsOnceAndCancelledOneNever) {
    SerialQueue queue("app.kelvora.sender.test");
    std::atomic<int> fired{0};
    std::atomic<int> cancelledRuns{0};
    std::promise<void> done;
    auto doneFuture = done.get_future();

    Timer once = queue.after(20ms, [&] { fired++; });
    Timer cancelled = queue.after(50ms, [&] { cancelledRuns++; });
    cancelled.cancel();
    EXPECT_FALSE(cancelled.isActive());
    {
        Timer dropped = queue.after(50ms, [&] { cancelledRuns++; });  // destroyed at once: cancelled
    }
    Timer marker = queue.after(200ms, [&] { done.set_value(); });
    await(doneFuture);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(cancelledRuns.load(), 0);
    EXPECT_EQ(queue.sync([&] { return once.isActive(); }), false);
}

TEST(SerialQueue, AbsoluteDeadlineRunsAtOrAfterIt) {
    SerialQueue queue("app.kelvora.sender.test");
    const auto deadline = std::chrono::steady_clock::now() + 30ms;
    std::promise<std::chrono::steady_clock::time_point> ran;
    auto ranFuture = ran.get_future();
    Timer timer = queue.at(deadline, [&] { ran.set_value(std::chrono::steady_clock::now()); });
    EXPECT_GE(await(ranFuture), deadline);
}

TEST(SerialQueue, RepeatingTimerStopsWhenItCancelsItselfOnTheQueue) {
    SerialQueue queue("app.kelvora.sender.test");
    int runs = 0;
    std::promise<void> third;
    auto thirdFuture = third.get_future();
    Timer ticker;
    queue.sync([&] {
        ticker = queue.every(5ms, [&] {
            EXPECT_TRUE(queue.isCurrent());
            if (++runs == 3) {
                ticker.cancel();
                third.set_value();
            }
        });
    });
    await(thirdFuture);
    // Let several more periods pass: a cancelled timer must stay silent.
    std::promise<void> later;
    auto laterFuture = later.get_future();
    Timer marker = queue.after(60ms, [&] { later.set_value(); });
    await(laterFuture);
    EXPECT_EQ(queue.sync([&] { return runs; }), 3);
}

TEST(SerialQueue, RepeatingTimerCancelledFromAnotherThreadStops) {
    SerialQueue queue("app.kelvora.sender.test");
    std::atomic<int> runs{0};
    std::promise<void> twice;
    auto twiceFuture = twice.get_future();
    Timer ticker = queue.every(
        2ms,
        [&] {
            if (++runs == 2) {
                twice.set_value();
            }
        },
        0ms);
    await(twiceFuture);
    ticker.cancel();
    queue.sync([] {});  // the cancellation has reached the queue
    const int seen = runs.load();
    std::promise<void> later;
    auto laterFuture = later.get_future();
    Timer marker = queue.after(30ms, [&] { later.set_value(); });
    await(laterFuture);
    EXPECT_EQ(runs.load(), seen);
}

// Threads of this process whose name is `name`, from /proc.
int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) {
            ++count;
        }
    }
    return count;
}

TEST(SerialQueue, CanBeReleasedFromOneOfItsOwnTasksAndItsThreadStillEnds) {
    auto queue = std::make_shared<SerialQueue>("app.kelvora.sender.reaptest");
    ASSERT_EQ(threadsNamed("reaptest"), 1);
    std::promise<void> released;
    auto releasedFuture = released.get_future();
    auto* raw = queue.get();
    raw->async([owner = std::move(queue), &released]() mutable {
        owner.reset();  // the last reference goes away on the queue's own thread
        released.set_value();
    });
    await(releasedFuture);
    // The thread could not join itself; it must still be joined rather than left running into process exit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (threadsNamed("reaptest") != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(threadsNamed("reaptest"), 0);
}

TEST(SerialQueue, TimerOutlivingItsQueueCancelsHarmlessly) {
    Timer timer;
    {
        SerialQueue queue("app.kelvora.sender.test");
        timer = queue.after(1h, [] {});
        EXPECT_TRUE(timer.isActive());
    }
    timer.cancel();
    EXPECT_FALSE(timer.isActive());
}
