// Out of threads in the media layer: each thread that a session creation or the conversion pool
// starts is refused in turn (pthread_create answers EAGAIN). A session that could not start its
// worker is reported with a status, never an exception, and one that started with fewer
// conversion helpers decodes exactly; the pool itself makes do with the helpers it got.
#include "CompatHarness.h"
#include "ConversionPool.h"
#include "ThreadCreationFailure.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace compattest {
namespace {

using testsupport::allowThreadCreation;
using testsupport::failThreadCreation;
using testsupport::threadCreationFailed;

// Decodes every access unit of the clip through the session and compares each picture with the
// reference decode.
void expectExactPictures(Session& session, const std::vector<AccessUnit>& units,
                         const FixtureClip& clip, long n) {
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_EQ(session.decode(pictureSample(units[i], clip.codec), int64_t(i)), noErr);
    }
    ASSERT_EQ(session.wait(), noErr);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    const std::vector<Output> outputs = session.outputs();
    ASSERT_EQ(outputs.size(), md5s.size()) << "creation " << n;
    for (size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].md5, md5s[i]) << "creation " << n << ", picture " << i;
    }
}

TEST(CompatThreadCreationFailure, ASessionOutOfThreadsIsRefusedWithAStatusOrDecodesExactly) {
    const FixtureClip& clip = testsupport::fixtureClip("h264_cbp_320x240");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    CMFormatDescriptionRef format = nullptr;
    ASSERT_EQ(createFormatDescription(units, clip.codec, &format), noErr);
    int refusals = 0;
    for (long n = 0;; ++n) {
        failThreadCreation(n);
        Session session(format, nullptr, false);
        allowThreadCreation();
        if (session.createStatus() == kVTAllocationFailedErr) {
            EXPECT_EQ(session.get(), nullptr) << "creation " << n;
            ++refusals;
            continue;
        }
        ASSERT_EQ(session.createStatus(), noErr) << "creation " << n;
        ASSERT_NO_FATAL_FAILURE(expectExactPictures(session, units, clip, n));
        if (!threadCreationFailed()) {
            break;
        }
    }
    EXPECT_EQ(refusals, 1) << "only the session's own worker is indispensable";
    CFRelease(format);
}

TEST(CompatThreadCreationFailure, APoolThatCouldNotStartAllHelpersRunsEveryTaskOnce) {
    const int allHelpers = compat::ConversionPool::acquire()->helpers();
    for (int started = 0; started < allHelpers; ++started) {
        failThreadCreation(started);
        const std::shared_ptr<compat::ConversionPool> pool = compat::ConversionPool::acquire();
        allowThreadCreation();
        EXPECT_TRUE(threadCreationFailed());
        EXPECT_EQ(pool->helpers(), started);
        std::vector<std::atomic<int>> runs(64);
        pool->run(int(runs.size()), [&](int task) { ++runs[size_t(task)]; });
        for (size_t task = 0; task < runs.size(); ++task) {
            EXPECT_EQ(runs[task].load(), 1) << started << " helpers, task " << task;
        }
    }
}

}  // namespace
}  // namespace compattest
