// The decode output callback: what reaches the delegate, how the pixel buffer is locked, and
// the reorder step that puts decode order into display order.
// Locks are observed through the linker's --wrap of the CoreVideo lock calls; the pixel buffer
// of the direct calls is a real one, taken from a real decode of a clip whose rows are padded.
#include "DecompressionOutput.h"
#include "HwDecodeTestSupport.h"
#include "ParameterSets.h"
#include "PictureReorder.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using hwdecodetest::RecordingDelegate;

namespace {

struct LockCall {
    CVPixelBufferRef buffer;
    CVPixelBufferLockFlags flags;
    bool lock;
    std::thread::id thread;
};

struct LockRecorder {
    std::mutex mutex;
    std::vector<LockCall> calls;
    CVPixelBufferRef captured = nullptr;  // the first buffer locked, retained
};

LockRecorder& recorder() {
    // Outlives the session registry, whose destruction at exit still calls the wrapped
    // platform functions.
    static LockRecorder* const instance = new LockRecorder;
    return *instance;
}

void record(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags, bool lock) {
    std::lock_guard<std::mutex> guard(recorder().mutex);
    recorder().calls.push_back({buffer, flags, lock, std::this_thread::get_id()});
    if (lock && recorder().captured == nullptr) {
        recorder().captured = CVPixelBufferRetain(buffer);
    }
}

}  // namespace

extern "C" {

CVReturn __real_CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                             CVPixelBufferLockFlags lockFlags);
CVReturn __real_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                               CVPixelBufferLockFlags unlockFlags);

CVReturn __wrap_CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                             CVPixelBufferLockFlags lockFlags) {
    record(pixelBuffer, lockFlags, true);
    return __real_CVPixelBufferLockBaseAddress(pixelBuffer, lockFlags);
}

CVReturn __wrap_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                               CVPixelBufferLockFlags unlockFlags) {
    record(pixelBuffer, unlockFlags, false);
    return __real_CVPixelBufferUnlockBaseAddress(pixelBuffer, unlockFlags);
}

}  // extern "C"

namespace {

const testsupport::FixtureClip& paddedClip() {
    return testsupport::fixtureClip("h264_portrait_1080x1920");
}

std::vector<LockCall> takeLockCalls() {
    std::lock_guard<std::mutex> guard(recorder().mutex);
    std::vector<LockCall> taken;
    taken.swap(recorder().calls);
    return taken;
}

void callOutput(void* handler, OSStatus status, CVPixelBufferRef buffer) {
    didDecompress(handler, nullptr, status, 0, buffer, kCMTimeInvalid, kCMTimeInvalid);
}

class OutputTest : public ::testing::Test {
  protected:
    // One real decoded picture, 1080 pixels wide: its rows are padded.
    static void SetUpTestSuite() {
        const auto units = testsupport::readAccessUnits(paddedClip());
        auto delegate = std::make_shared<RecordingDelegate>(0);
        auto handler = hwdecodetest::freshHandler(delegate, false);
        hwdecodetest::feedClip(*handler, *delegate, {units.front()});
        std::lock_guard<std::mutex> guard(recorder().mutex);
        picture_ = recorder().captured;
    }

    static void TearDownTestSuite() {
        if (picture_) {
            CVPixelBufferRelease(picture_);
            picture_ = nullptr;
        }
    }

    void SetUp() override {
        ASSERT_NE(picture_, nullptr);
        takeLockCalls();
    }

    // A session object whose stream began at a random-access point, so that it delivers
    // pictures; the recording delegate is installed after that first picture.
    static std::shared_ptr<H264HwDecoderImpl> startedHandler(
        std::shared_ptr<RecordingDelegate> delegate) {
        auto handler = hwdecodetest::freshHandler(std::make_shared<RecordingDelegate>(0), false);
        const auto units =
            testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
        handler->DecodeNALUs(units.front().data(), static_cast<int32_t>(units.front().size()), 0);
        handler->setDelegate(std::move(delegate));
        return handler;
    }

    static CVPixelBufferRef picture_;
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>(1);
    std::shared_ptr<H264HwDecoderImpl> handler_ = startedHandler(delegate_);
};

CVPixelBufferRef OutputTest::picture_ = nullptr;

// A failed decode, and a decode without picture, deliver nothing, and nothing after them either
// until the stream reaches a random-access point: later pictures may depend on the lost one.
TEST_F(OutputTest, FailedDecodeDeliversNothingUntilARandomAccessPoint) {
    const struct {
        OSStatus status;
        bool withPicture;
    } failures[] = {{kVTVideoDecoderBadDataErr, true}, {-1, true}, {noErr, false}};
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.status);
        auto handler = startedHandler(delegate_);
        takeLockCalls();
        callOutput(handler.get(), failure.status, failure.withPicture ? picture_ : nullptr);
        EXPECT_TRUE(handler->statistics()->snapshot().keyframeNeeded);
        callOutput(handler.get(), noErr, picture_);
        EXPECT_EQ(delegate_->pictureCount(), 0u);
        EXPECT_EQ(takeLockCalls().size(), 2u) << "only the picture after the failure is locked";
    }
}

TEST_F(OutputTest, PaddedRowsAreDeliveredAsThePlatformReportsThem) {
    callOutput(handler_.get(), noErr, picture_);

    const auto pictures = delegate_->pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].format, 0);
    EXPECT_EQ(pictures[0].width, static_cast<int32_t>(CVPixelBufferGetWidth(picture_)));
    EXPECT_EQ(pictures[0].height, static_cast<int32_t>(CVPixelBufferGetHeight(picture_)));
    EXPECT_EQ(pictures[0].bytesPerRow, static_cast<int32_t>(CVPixelBufferGetBytesPerRow(picture_)));
    EXPECT_EQ(pictures[0].width, paddedClip().width);
    EXPECT_EQ(pictures[0].height, paddedClip().height);
    EXPECT_GT(pictures[0].bytesPerRow, 4 * pictures[0].width);
    EXPECT_EQ(pictures[0].extraColumnsOnLeft, 0);
    EXPECT_EQ(pictures[0].extraColumnsOnRight, 0);
    EXPECT_EQ(pictures[0].extraRowsOnTop, 0);
    EXPECT_EQ(pictures[0].extraRowsOnBottom, 0);
    EXPECT_EQ(pictures[0].md5, testsupport::readFrameMd5s(paddedClip()).at(0));

    const auto calls = takeLockCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].lock);
    EXPECT_FALSE(calls[1].lock);
    for (const LockCall& call : calls) {
        EXPECT_EQ(call.buffer, picture_);
        EXPECT_EQ(call.flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly))
            << "a read-only lock, unlocked with the same flags";
    }
}

TEST_F(OutputTest, WithoutDelegateTheBufferIsLockedAndUnlockedOnce) {
    handler_->setDelegate(nullptr);
    callOutput(handler_.get(), noErr, picture_);

    const auto calls = takeLockCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].lock);
    EXPECT_FALSE(calls[1].lock);
    EXPECT_EQ(delegate_->pictureCount(), 0u);
}

TEST_F(OutputTest, ObjectThatNoOneOwnsGetsNothing) {
    H264HwDecoderImpl unowned;
    unowned.setDelegate(delegate_);
    callOutput(&unowned, noErr, picture_);

    EXPECT_EQ(takeLockCalls().size(), 2u);
    EXPECT_EQ(delegate_->pictureCount(), 0u);
}

TEST_F(OutputTest, EveryDecodedPictureIsLockedOnceAroundItsDelivery) {
    const auto& clip = testsupport::fixtureClip("h264_cbp_320x240");
    const auto units = testsupport::readAccessUnits(clip);
    hwdecodetest::feedClip(*handler_, *delegate_, units);

    ASSERT_EQ(delegate_->pictureCount(), units.size());
    const auto calls = takeLockCalls();
    ASSERT_EQ(calls.size(), 2 * units.size());
    for (size_t i = 0; i < calls.size(); i += 2) {
        EXPECT_TRUE(calls[i].lock);
        EXPECT_FALSE(calls[i + 1].lock);
        EXPECT_EQ(calls[i].buffer, calls[i + 1].buffer);
        EXPECT_EQ(calls[i].flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
        EXPECT_EQ(calls[i + 1].flags, calls[i].flags);
        EXPECT_NE(calls[i].thread, std::this_thread::get_id()) << "on the platform's thread";
    }
}

}  // namespace

namespace {

struct TimedPicture {
    int64_t pts = 0;
    char name = 0;
};

std::string namesOf(const std::vector<TimedPicture>& pictures) {
    std::string names;
    for (const TimedPicture& picture : pictures) {
        names += picture.name;
    }
    return names;
}

// The session's reorder step, for a platform that hands pictures out in decode order: what
// comes out, in which order, for pictures pushed in decode order with their display times.
TEST(PictureReorderTest, DecodeOrderBecomesDisplayOrder) {
    const struct {
        const char* rule;
        int window;
        std::vector<TimedPicture> decodeOrder;
        std::string due;   // handed out, in order
        std::string late;  // never shown
        std::string held;  // still waiting at the end
        int finalWindow;
    } rows[] = {
        {"a stream without reordering passes straight through",
         0,
         {{0, 'a'}, {1, 'b'}, {2, 'c'}},
         "abc",
         "",
         "",
         0},
        {"I P B B in decode order",
         2,
         {{0, 'a'}, {3, 'd'}, {1, 'b'}, {2, 'c'}, {6, 'g'}, {4, 'e'}, {5, 'f'}},
         "abcde",
         "",
         "fg",
         2},
        {"a B pyramid",
         2,
         {{0, 'a'}, {4, 'e'}, {2, 'c'}, {1, 'b'}, {3, 'd'}, {8, 'i'}, {6, 'g'}, {5, 'f'}, {7, 'h'}},
         "abcdefg",
         "",
         "hi",
         2},
        {"an unstated window grows at the first late picture, which is not shown",
         -1,
         {{0, 'a'}, {2, 'c'}, {1, 'b'}, {3, 'd'}, {5, 'f'}, {4, 'e'}, {6, 'g'}},
         "acdef",
         "b",
         "g",
         1},
        {"a stated window does not grow",
         0,
         {{0, 'a'}, {2, 'c'}, {1, 'b'}, {3, 'd'}},
         "acd",
         "b",
         "",
         0},
        {"pictures of equal times keep their order",
         1,
         {{0, 'a'}, {0, 'b'}, {0, 'c'}},
         "ab",
         "",
         "c",
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        PictureReorder<TimedPicture> reorder;
        reorder.restart(row.window);
        std::vector<TimedPicture> due, late, held;
        for (const TimedPicture& picture : row.decodeOrder) {
            reorder.push(picture, due, late);
        }
        reorder.clear(held);
        EXPECT_EQ(namesOf(due), row.due);
        EXPECT_EQ(namesOf(late), row.late);
        EXPECT_EQ(namesOf(held), row.held);
        EXPECT_EQ(reorder.window(), row.finalWindow);
    }
}

// The window comes from the sequence parameter set: what the real clips state.
TEST(PictureReorderTest, TheWindowIsWhatTheSequenceParameterSetStates) {
    const std::pair<const char*, int> clips[] = {
        {"h264_cbp_320x240", 0},
        {"h264_high_bframes_640x360", 2},
        {"h265_main_320x240", 0},
    };
    for (const auto& [name, window] : clips) {
        const testsupport::FixtureClip& clip = testsupport::fixtureClip(name);
        const bool h265 = hwdecodetest::isH265(clip);
        const auto units = testsupport::readAccessUnits(clip);
        const auto sps = hwdecodetest::firstOfType(units.front(), h265 ? 33 : 7, h265);
        const auto info = h265 ? parametersets::parseHevcSps(sps.data(), sps.size())
                               : parametersets::parseH264Sps(sps.data(), sps.size());
        ASSERT_TRUE(info.has_value()) << name;
        EXPECT_EQ(info->reorderWindow, window) << name;
    }
}

}  // namespace
