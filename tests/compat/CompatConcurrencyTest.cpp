// Many sessions decoding at once, each on its own thread, as 64 decoder instances would: every
// picture still exact, one worker thread per session and no more.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace compattest {
namespace {

constexpr int kSessions = 64;
// Threads beside the sessions' own: the layer's process-wide conversion helpers (at most 7) and a
// few for a sanitizer's runtime.
constexpr int kSharedThreads = 7 + 4;

const char* const kClips[] = {"h264_cbp_320x240",    "h265_main_320x240",
                              "h264_tiny_16x16",     "h264_slices50_320x240",
                              "h265_main10_320x240", "h264_repeat_headers_320x240"};

struct LoadedClip {
    const FixtureClip* info = nullptr;
    std::vector<std::vector<uint8_t>> samples;
    std::vector<AccessUnit> units;
    std::vector<std::string> md5s;
};

int threadsInProcess() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        closedir(tasks);
    }
    return count;
}

// Lets every thread create its session, then holds them until all exist.
class Barrier {
  public:
    explicit Barrier(int count) : remaining_(count) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--remaining_ == 0) {
            released_.notify_all();
        }
        released_.wait(lock, [&] { return remaining_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    int remaining_;
};

struct Result {
    OSStatus createStatus = -1;
    std::vector<Output> outputs;
};

TEST(CompatConcurrency, SixtyFourSessionsOnSixtyFourThreadsDecodeExactly) {
    std::vector<LoadedClip> clips;
    for (const char* name : kClips) {
        LoadedClip clip;
        clip.info = &testsupport::fixtureClip(name);
        clip.units = testsupport::readAccessUnits(*clip.info);
        for (const AccessUnit& unit : clip.units) {
            clip.samples.push_back(pictureSample(unit, clip.info->codec));
        }
        clip.md5s = testsupport::readFrameMd5s(*clip.info);
        clips.push_back(std::move(clip));
    }

    const int threadsBefore = threadsInProcess();
    std::atomic<int> threadsWithAllSessions{0};
    Barrier allCreated(kSessions + 1);
    Barrier measured(kSessions + 1);
    std::vector<Result> results(kSessions);
    std::vector<std::thread> threads;
    for (int n = 0; n < kSessions; ++n) {
        threads.emplace_back([&, n] {
            const LoadedClip& clip = clips[size_t(n) % clips.size()];
            CMFormatDescriptionRef format = nullptr;
            createFormatDescription(clip.units, clip.info->codec, &format);
            auto session = std::make_unique<Session>(format, nullptr, false);
            results[size_t(n)].createStatus = session->createStatus();
            allCreated.arriveAndWait();
            measured.arriveAndWait();
            for (size_t i = 0; i < clip.samples.size(); ++i) {
                session->decode(clip.samples[i], int64_t(i));
                session->wait();
            }
            results[size_t(n)].outputs = session->outputs();
            session.reset();
            CFRelease(format);
        });
    }
    allCreated.arriveAndWait();
    threadsWithAllSessions = threadsInProcess();
    measured.arriveAndWait();
    for (std::thread& thread : threads) {
        thread.join();
    }

    // 64 caller threads and 64 workers; libavcodec adds none of its own (frame threading would
    // add one per core and session).
    EXPECT_LE(threadsWithAllSessions - threadsBefore, 2 * kSessions + kSharedThreads);
    std::set<std::thread::id> workers;
    for (int n = 0; n < kSessions; ++n) {
        const LoadedClip& clip = clips[size_t(n) % clips.size()];
        const Result& result = results[size_t(n)];
        SCOPED_TRACE("session " + std::to_string(n) + " " + clip.info->name);
        ASSERT_EQ(result.createStatus, noErr);
        ASSERT_EQ(int(result.outputs.size()), clip.info->frames);
        for (size_t i = 0; i < result.outputs.size(); ++i) {
            EXPECT_EQ(result.outputs[i].md5, clip.md5s[i]) << "picture " << i;
            workers.insert(result.outputs[i].thread);
        }
    }
    EXPECT_EQ(int(workers.size()), kSessions) << "each session its own worker";
}

TEST(CompatConcurrency, TwoHundredFiftySixSessionsAliveAtOnceEachDecodeTheirStream) {
    constexpr int kManySessions = 256;
    const FixtureClip& clip = testsupport::fixtureClip("h264_tiny_16x16");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    CMFormatDescriptionRef format = nullptr;
    ASSERT_EQ(createFormatDescription(units, clip.codec, &format), noErr);

    const int threadsBefore = threadsInProcess();
    std::vector<std::unique_ptr<Session>> sessions;
    for (int n = 0; n < kManySessions; ++n) {
        sessions.push_back(std::make_unique<Session>(format, nullptr, false));
        ASSERT_EQ(sessions.back()->createStatus(), noErr) << "session " << n;
    }
    EXPECT_LE(threadsInProcess() - threadsBefore, kManySessions + kSharedThreads)
        << "one thread per session";
    // Every session gets each access unit before any waits: all 256 decode side by side.
    for (size_t i = 0; i < units.size(); ++i) {
        const std::vector<uint8_t> sample = pictureSample(units[i], clip.codec);
        for (auto& session : sessions) {
            ASSERT_EQ(session->decode(sample, int64_t(i)), noErr);
        }
    }
    for (size_t n = 0; n < sessions.size(); ++n) {
        ASSERT_EQ(sessions[n]->wait(), noErr);
        const std::vector<Output> outputs = sessions[n]->outputs();
        ASSERT_EQ(int(outputs.size()), clip.frames) << "session " << n;
        for (size_t i = 0; i < outputs.size(); ++i) {
            EXPECT_EQ(outputs[i].md5, md5s[i]) << "session " << n << " picture " << i;
        }
    }
    sessions.clear();
    CFRelease(format);
}

}  // namespace
}  // namespace compattest
