// Out of threads: pthread_create answers EAGAIN for one thread creation at a time, first in a
// start (the decode thread), then in each creation of a session setup (the session's worker, the
// conversion helpers). The exported call answers as it does for any failure, the process goes
// on, no thread is left behind, and once threads can be created again the same instance or id
// works.
#include "HostSupport.h"
#include "ProcessFigures.h"
#include "ThreadCreationFailure.h"

#include <gtest/gtest.h>

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

class ThreadCreationFailure : public testing::Test {
  protected:
    void TearDown() override {
        allowThreadCreation();
        H264Decoder_stop(kId);
    }
};

TEST_F(ThreadCreationFailure, AStartThatCannotStartItsDecodeThreadCreatesNothing) {
    // A sanitizer runtime starts a thread of its own with the process's second thread.
    std::thread([] {}).join();
    const int threadsBefore = testsupport::steadyThreadCount();
    failThreadCreation(0);
    EXPECT_FALSE(start(kId, "{}"));
    allowThreadCreation();
    ASSERT_TRUE(threadCreationFailed()) << "the start created no thread";
    EXPECT_FALSE(running(kId)) << "no instance exists";
    EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(threadsBefore), threadsBefore);

    ASSERT_TRUE(start(kId, "{}")) << "the registry lock was left held or the id taken";
    EXPECT_TRUE(running(kId));
    H264Decoder_stop(kId);
    EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(threadsBefore), threadsBefore);
}

// The first access unit, with the stream's parameter sets, sets the session up; each thread
// that setup creates fails in turn. The unit is then lost like any undecodable one, and the same
// unit committed again once threads can be created again decodes.
TEST_F(ThreadCreationFailure, ASessionSetupOutOfThreadsDecodesOnceThreadsAreBack) {
    const std::vector<AccessUnit> units = unitsOf("h264_cbp_320x240");
    // The session stays with its id after a stop, and with it its worker and the conversion
    // helpers, so each round ends with the threads of a clean setup (the last round's), not
    // with none; a thread that a failed setup left running would show as one more.
    std::vector<int> threadsAfterStop;
    long n = 0;
    for (bool failed = true; failed; ++n) {
        const auto tap = startWatched(kId, "{}");
        failThreadCreation(n);
        ASSERT_TRUE(commitUntil(units[0],
                                [&] { return threadCreationFailed() || tap->pictureCount() > 0; }))
            << "creation " << n << ": neither a picture nor the failure";
        allowThreadCreation();
        failed = threadCreationFailed();
        const size_t picturesBefore = tap->pictureCount();
        EXPECT_TRUE(commitUntil(units[0], [&] { return tap->pictureCount() > picturesBefore; }))
            << "creation " << n << ": no picture once threads were back";
        H264Decoder_stop(kId);
        threadsAfterStop.push_back(testsupport::steadyThreadCount());
    }
    EXPECT_GE(n, 2) << "the session setup created no thread";
    for (size_t round = 0; round < threadsAfterStop.size(); ++round) {
        EXPECT_LE(threadsAfterStop[round], threadsAfterStop.back()) << "creation " << round;
    }
}

}  // namespace
