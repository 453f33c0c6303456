// Out of threads: each thread that a session creation or the conversion pool starts is refused in
// turn (EAGAIN). A session without its worker is a status, never an exception; with fewer
// conversion helpers it decodes exactly, and the pool makes do with the helpers it got.
#include "CompatHarness.h"
#include "ConversionPool.h"
#include "ThreadCreationFailure.h"

#include <gtest/gtest.h>

#include <string>

namespace compattest {
namespace {

using namespace testsupport;

TEST(CompatThreadCreationFailure, ASessionOutOfThreadsIsRefusedWithAStatusOrDecodesExactly) {
    const Clip clip("h264_cbp_320x240");
    int refusals = 0;
    for (long n = 0;; ++n) {
        SCOPED_TRACE("creation " + std::to_string(n));
        failThreadCreation(n);
        Session session(clip.format);
        allowThreadCreation();
        if (session.createStatus() == kVTAllocationFailedErr) {
            EXPECT_EQ(session.get(), nullptr);
            ++refusals;
            continue;
        }
        ASSERT_EQ(session.createStatus(), noErr);
        ASSERT_EQ(session.decodeAll(clip), noErr);
        EXPECT_EQ(md5sOf(session.outputs()), clip.md5s);
        if (!threadCreationFailed()) {
            break;
        }
    }
    EXPECT_EQ(refusals, 1) << "only the session's own worker is indispensable";
}

TEST(CompatThreadCreationFailure, APoolThatCouldNotStartAllHelpersRunsEveryTaskOnce) {
    const int allHelpers = compat::ConversionPool::acquire()->helpers();
    for (int started = 0; started < allHelpers; ++started) {
        failThreadCreation(started);
        const auto pool = compat::ConversionPool::acquire();
        allowThreadCreation();
        EXPECT_TRUE(threadCreationFailed());
        EXPECT_EQ(pool->helpers(), started);
        std::vector<int> runs(64, 0);  // each slot written by one task only
        pool->run(int(runs.size()), [&](int task) { ++runs[size_t(task)]; });
        EXPECT_EQ(runs, std::vector<int>(runs.size(), 1)) << started << " helpers";
    }
}

}  // namespace
}  // namespace compattest
