// The process-wide conversion helpers, raced by many sessions' workers at once.
#include "ConversionPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace compat {
namespace {

TEST(CompatConversionPool, EveryTaskRunsOnceAndRunReturnsAfterAll) {
    constexpr int kCallers = 16;
    constexpr int kBatches = 200;
    constexpr int kTasks = 8;
    ConversionPool& pool = ConversionPool::shared();
    EXPECT_LE(pool.helpers(), ConversionPool::kMaxHelpers);
    std::atomic<int> wrongCounts{0};
    std::vector<std::thread> callers;
    for (int caller = 0; caller < kCallers; ++caller) {
        callers.emplace_back([&] {
            for (int batch = 0; batch < kBatches; ++batch) {
                std::vector<int> runs(kTasks, 0);  // each slot written by one task only
                pool.run(kTasks, [&](int index) { ++runs[size_t(index)]; });
                for (int count : runs) {
                    wrongCounts += count != 1;
                }
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrongCounts, 0);
}

TEST(CompatConversionPool, SingleTaskRunsOnTheCaller) {
    std::thread::id ranOn;
    ConversionPool::shared().run(1, [&](int) { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace compat
