#include "sender/pipeline/ParallelLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace kelvora {
namespace {

TEST(ParallelLoop, EveryIterationRunsOnceAndTheCallWaitsForAll) {
    ParallelLoop loop(2);
    for (size_t count : {0u, 1u, 2u, 3u, 7u}) {
        std::vector<std::atomic<int>> runs(count);
        std::set<std::thread::id> threads;
        std::mutex threadsLock;
        loop.run(count, [&](size_t index) {
            runs[index] += 1;
            std::lock_guard lock(threadsLock);
            threads.insert(std::this_thread::get_id());
        });
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(runs[i].load(), 1) << "iteration " << i << " of " << count;
        }
        if (count == 1) {
            // A single iteration runs directly on the caller's thread.
            EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
        }
    }
}

}  // namespace
}  // namespace kelvora
