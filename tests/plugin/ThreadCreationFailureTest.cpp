// Out of threads: pthread_create answers EAGAIN for one thread creation at a time, counted from a
// start: creation 0 is the start's decode thread, the later ones those of the session setup that
// the first access unit brings (the session's worker, the conversion helpers).
#include "HostSupport.h"
#include "ProcessFigures.h"
#include "ThreadCreationFailure.h"

#include <chrono>
#include <thread>

using namespace hosttest;
using testsupport::allowThreadCreation;
using testsupport::failThreadCreation;
using testsupport::threadCreationFailed;

namespace {

constexpr uint8_t kId = 33;

// Commits the unit until `done()`; a commit that met the decode thread at its queue is dropped
// and made again.
template <typename Done>
bool commitUntil(const AccessUnit& unit, Done done) {
    for (int attempt = 0; attempt < 3 && commit(kId, unit); ++attempt) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return false;
}

// A start that cannot start its decode thread creates nothing and leaves the id free. A session
// setup out of threads loses its unit like any undecodable one, and once threads can be created
// again the same unit decodes. The session stays with its id after a stop, and with it its
// threads, so each round ends with those of a clean setup (the last round's); a thread that a
// failed setup left running would show as one more.
TEST(ThreadCreationFailure, ACallOutOfThreadsLosesOnlyItsOwnWork) {
    const std::vector<AccessUnit> units = unitsOf("h264_cbp_320x240");
    // A sanitizer runtime starts a thread of its own with the process's second thread.
    std::thread([] {}).join();
    const int threadsBefore = testsupport::steadyThreadCount();
    std::vector<int> threadsAfterStop;
    long n = 0;
    for (bool failed = true; failed; ++n) {
        SCOPED_TRACE(testing::Message() << "creation " << n);
        failThreadCreation(n);
        const bool started = start(kId, "{}");
        ASSERT_EQ(started, n > 0) << "only the decode thread's creation fails a start";
        if (!started) {
            allowThreadCreation();
            EXPECT_TRUE(threadCreationFailed());
            EXPECT_FALSE(running(kId)) << "no instance exists";
            EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(threadsBefore),
                      threadsBefore);
            continue;
        }
        const auto tap = PictureTap::install(kId);
        ASSERT_TRUE(commitUntil(units[0], [&] {
            return threadCreationFailed() || tap->pictureCount() > 0;
        })) << "neither a picture nor the failure";
        allowThreadCreation();
        failed = threadCreationFailed();
        const size_t picturesBefore = tap->pictureCount();
        EXPECT_TRUE(commitUntil(units[0], [&] { return tap->pictureCount() > picturesBefore; }))
            << "no picture once threads were back";
        H264Decoder_stop(kId);
        threadsAfterStop.push_back(testsupport::steadyThreadCount());
    }
    EXPECT_GE(n, 3) << "the session setup created no thread";
    for (size_t round = 0; round < threadsAfterStop.size(); ++round) {
        EXPECT_LE(threadsAfterStop[round], threadsAfterStop.back()) << "creation " << round + 1;
    }
}

}  // namespace
