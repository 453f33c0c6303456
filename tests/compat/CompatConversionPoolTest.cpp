// The process-wide conversion helpers, raced by many sessions' workers at once.
#include "ConversionPool.h"
#include "ProcessFigures.h"

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
    const std::shared_ptr<ConversionPool> held = ConversionPool::acquire();
    ConversionPool& pool = *held;
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
    ConversionPool::acquire()->run(1, [&](int) { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(CompatConversionPool, OnePoolWhileHeldItsThreadsEndWithTheLastHolder) {
    // A sanitizer runtime starts a thread of its own with the process's second thread.
    std::thread([] {}).join();
    const int before = testsupport::steadyThreadCount();
    std::shared_ptr<ConversionPool> first = ConversionPool::acquire();
    std::shared_ptr<ConversionPool> second = ConversionPool::acquire();
    EXPECT_EQ(first, second);
    EXPECT_EQ(testsupport::currentProcessFigures().threads, before + first->helpers());
    first.reset();
    EXPECT_EQ(testsupport::currentProcessFigures().threads, before + second->helpers())
        << "still held by the second holder";
    second.reset();
    EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(before), before);
}

}  // namespace
}  // namespace compat
