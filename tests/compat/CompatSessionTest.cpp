// Decompression sessions: every committed clip decoded and compared with FFmpeg's own decode;
// undecodable samples, draining, invalidation, careless callers;
// many sessions at once, and the conversion helpers that all their workers share.
#include "CompatHarness.h"
#include "ConversionPool.h"
#include "ProcessFigures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <set>

namespace compattest {
namespace {

constexpr int64_t kPtsStep = 3000;

// Each clip decoded with a wait after each sample and a drain at the end gives FFmpeg's own
// pictures, bit for bit, on the session's worker. Without B-frames no picture is held back.
class CompatClipDecode : public ::testing::TestWithParam<testsupport::FixtureClip> {};

TEST_P(CompatClipDecode, DeliversEveryFrameAtTheDisplaySizeExactlyAsFfmpeg) {
    const Clip clip(GetParam().name);
    const CMVideoDimensions size = CMVideoFormatDescriptionGetDimensions(clip.format);
    EXPECT_EQ(size.width, clip.info.width);
    EXPECT_EQ(size.height, clip.info.height);
    Session session(clip.format);
    const bool reorders = clip.info.name.find("bframes") != std::string::npos;
    std::set<int64_t> sampleTimes, times;
    for (size_t i = 0; i < clip.units.size(); ++i) {
        sampleTimes.insert(int64_t(i) * kPtsStep);
        ASSERT_EQ(session.decode(clip.sample(i), int64_t(i) * kPtsStep), noErr);
        ASSERT_EQ(session.wait(), noErr);
        EXPECT_TRUE(reorders || session.outputs().size() == i + 1) << "held back at " << i;
    }
    ASSERT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
    const std::vector<Output> outputs = session.outputs();
    EXPECT_EQ(md5sOf(outputs), clip.md5s);
    for (const Output& output : outputs) {
        EXPECT_NE(output.thread, std::this_thread::get_id());
        // Rows padded to 64 bytes from a 64-byte aligned base.
        EXPECT_EQ(output.bytesPerRow, (size_t(clip.info.width) * 4 + 63) / 64 * 64);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(output.base) % 64, 0u);
        times.insert(output.pts);
    }
    EXPECT_EQ(times, sampleTimes) << "each sample's picture once, whatever the order";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CompatClipDecode,
                         ::testing::ValuesIn(testsupport::fixtureClips()),
                         ::testing::PrintToStringParamName());

// Samples that cannot be read fail one by one. A reordering decoder holds pictures back until a
// drain: samples without their key frame fail once too many (32) are held, the rest at the drain;
// a drained session decodes again from the next key frame, and an invalidated one delivers what
// it held and takes nothing more.
TEST(CompatSession, BadSamplesFailAndHeldPicturesComeOutByTheDrainUntilInvalidation) {
    const Clip clip("h264_high_bframes_640x360");
    Session session(clip.format);
    Bytes lengthPastEnd = clip.sample(0);
    lengthPastEnd[0] = 0x7f;  // claims more bytes than the sample holds
    // An empty sample has no data buffer at all; then every sample but the key frame, twice.
    std::vector<Bytes> bad = {lengthPastEnd, Bytes(4, 0), Bytes()};
    for (size_t n = 0; n < 2 * (clip.units.size() - 1); ++n) {
        bad.push_back(clip.sample(1 + n % (clip.units.size() - 1)));
    }
    for (const Bytes& sample : bad) {
        ASSERT_EQ(session.decode(sample, 0), noErr);
    }
    ASSERT_EQ(session.wait(), noErr);
    EXPECT_GE(session.outputs().size(), bad.size() - 32) << "at most 32 samples held";
    ASSERT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
    EXPECT_EQ(session.outputs().size(), bad.size()) << "one callback per sample";
    ASSERT_EQ(session.decodeAll(clip), noErr);
    EXPECT_LT(session.outputs().size(), bad.size() + clip.md5s.size())
        << "the reorder depth is held";
    ASSERT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
    ASSERT_EQ(session.decodeAll(clip), noErr);
    VTDecompressionSessionInvalidate(session.get());
    const std::vector<Output> outputs = session.outputs();
    std::vector<std::string> md5s(bad.size(), "");
    md5s.insert(md5s.end(), clip.md5s.begin(), clip.md5s.end());
    md5s.insert(md5s.end(), clip.md5s.begin(), clip.md5s.end());
    EXPECT_EQ(md5sOf(outputs), md5s);
    for (size_t n = 0; n < bad.size() && n < outputs.size(); ++n) {
        EXPECT_EQ(outputs[n].status, kVTVideoDecoderBadDataErr) << "sample " << n;
    }
    EXPECT_EQ(session.decode(clip.sample(0), 0), kVTInvalidSessionErr);
    EXPECT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), kVTInvalidSessionErr);
    EXPECT_EQ(session.wait(), noErr);
}

// A careless caller: it waits on its own session from inside the output callback, keeps the
// first picture, and releases the session with most samples still queued.
struct Careless {
    VTDecompressionSessionRef session = nullptr;
    std::atomic<int> calls{0};
    std::atomic<OSStatus> waitStatus{1};  // until the wait in the callback returns
    CVPixelBufferRef kept = nullptr;
};

void carelessCallback(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                      CVImageBufferRef image, CMTime, CMTime) {
    auto* state = static_cast<Careless*>(refCon);
    if (state->calls++ == 0) {
        state->kept = status == noErr ? CVPixelBufferRetain(image) : nullptr;
        state->waitStatus = VTDecompressionSessionWaitForAsynchronousFrames(state->session);
    }
}

TEST(CompatSession, ACarelessCallerNeitherDeadlocksNorLeaksNorLosesItsPicture) {
    const Clip clip("h264_odd_642x362");
    Careless state;
    VTDecompressionOutputCallbackRecord record = {carelessCallback, &state};
    ASSERT_EQ(VTDecompressionSessionCreate(nullptr, clip.format, nullptr, nullptr, &record,
                                           &state.session),
              noErr);
    for (size_t i = 0; i < clip.units.size(); ++i) {
        CMSampleBufferRef sample = makeSampleBuffer(clip.sample(i), clip.format, int64_t(i));
        ASSERT_EQ(VTDecompressionSessionDecodeFrame(state.session, sample, 1, 0, 0), noErr);
        CFRelease(sample);
    }
    while (state.waitStatus == 1) {
        std::this_thread::yield();
    }
    CFRelease(state.session);
    EXPECT_EQ(state.waitStatus, noErr);
    const int callsAtRelease = state.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time for a stray callback
    EXPECT_EQ(state.calls, callsAtRelease) << "no callback after the last release returned";
    ASSERT_NE(state.kept, nullptr);
    // The kept picture outlives its session and its pool.
    const CVPixelBufferLockFlags readOnly = kCVPixelBufferLock_ReadOnly;
    ASSERT_EQ(CVPixelBufferLockBaseAddress(state.kept, readOnly), kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferGetWidth(state.kept), 642u);
    EXPECT_EQ(static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(state.kept))[3], 255);
    EXPECT_EQ(CVPixelBufferUnlockBaseAddress(state.kept, 0), kCVReturnInvalidArgument)
        << "unlock flags must match the lock";
    EXPECT_EQ(CVPixelBufferUnlockBaseAddress(state.kept, readOnly), kCVReturnSuccess);
    CVPixelBufferRelease(state.kept);
}

// Each session decodes all its samples at once on one worker thread of its own, into pooled
// memory; the description's NAL unit header length decides how samples are read.
TEST(CompatConcurrency, SixtyFourSessionsOnSixtyFourThreadsDecodeExactlyEachOnItsOwnWorker) {
    const Clip clips[] = {Clip("h264_cbp_320x240", 2), Clip("h265_main_320x240"),
                          Clip("h264_tiny_16x16"),     Clip("h264_slices50_320x240"),
                          Clip("h265_main10_320x240"), Clip("h264_repeat_headers_320x240")};
    const int threadsBefore = testsupport::currentProcessFigures().threads;
    int threadsWithAllSessions = 0;
    std::vector<std::vector<Output>> outputs(64);
    std::mutex mutex;
    std::condition_variable changed;
    size_t created = 0;
    std::vector<std::thread> threads;
    for (size_t n = 0; n < outputs.size(); ++n) {
        threads.emplace_back([&, n] {
            const Clip& clip = clips[n % std::size(clips)];
            Session session(clip.format);
            // Every session exists before any decodes, and the last one counts the threads.
            std::unique_lock<std::mutex> lock(mutex);
            if (++created == outputs.size()) {
                threadsWithAllSessions = testsupport::currentProcessFigures().threads;
            }
            changed.notify_all();
            changed.wait(lock, [&] { return created == outputs.size(); });
            lock.unlock();
            session.decodeAll(clip);
            outputs[n] = session.outputs();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // 64 callers and 64 workers beside the conversion helpers and a sanitizer's few: no frame
    // threads of libavcodec, which would add one per core and session.
    EXPECT_LE(threadsWithAllSessions - threadsBefore,
              128 + compat::ConversionPool::kMaxHelpers + 4);
    std::set<std::thread::id> workers;
    for (size_t n = 0; n < outputs.size(); ++n) {
        EXPECT_EQ(md5sOf(outputs[n]), clips[n % std::size(clips)].md5s) << "session " << n;
        std::set<const void*> memory;
        for (const Output& output : outputs[n]) {
            workers.insert(output.thread);
            memory.insert(output.base);
        }
        EXPECT_LE(memory.size(), 2u) << "session " << n << " reuses pooled memory";
    }
    EXPECT_EQ(workers.size(), outputs.size()) << "each session one worker of its own";
}

// The one pool, shared while held: every task of every batch runs once however many callers race,
// and the pool's threads end with the last holder.
TEST(CompatConversionPool, OnePoolRunsEveryTaskOnceAndItsThreadsEndWithTheLastHolder) {
    std::thread([] {}).join();  // a sanitizer runtime starts a thread with the second thread
    const int before = testsupport::steadyThreadCount();
    auto first = compat::ConversionPool::acquire(), second = compat::ConversionPool::acquire();
    EXPECT_EQ(first, second);
    std::atomic<int> wrongCounts{0};
    std::vector<std::thread> callers;
    for (int caller = 0; caller < 16; ++caller) {
        callers.emplace_back([&] {
            for (int batch = 0; batch < 200; ++batch) {
                std::vector<int> runs(8, 0);  // each slot written by one task only
                first->run(int(runs.size()), [&](int index) { ++runs[size_t(index)]; });
                wrongCounts += runs != std::vector<int>(runs.size(), 1);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrongCounts, 0);
    first.reset();
    const int held = before + second->helpers();
    EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(held), held)
        << "held by the second holder";
    second.reset();
    EXPECT_EQ(testsupport::threadCountOnceJoinedThreadsAreGone(before), before);
}

}  // namespace
}  // namespace compattest
