// The decode output callback called as the platform calls it, and the reorder step that puts
// decode order into display order.
#include "DecompressionOutput.h"
#include "HwDecodeTestSupport.h"
#include "ParameterSets.h"
#include "PictureReorder.h"

#include <gtest/gtest.h>

using namespace hwdecodetest;

namespace {

// A failed decode, and a decode without picture, deliver nothing, and nothing after them either
// until the stream reaches a random-access point: later pictures may depend on the lost one.
// Whoever gets the picture, its buffer is locked read-only once, and unlocked.
TEST(OutputTest, APictureGoesToTheDelegateOfAnOwnedObjectWhoseStreamIsIntact) {
    const struct {
        const char* rule;
        OSStatus failureBefore;  // of an output call before the picture's
        bool noPictureBefore;    // that call came without a picture
        bool withDelegate;
        bool owned;
        size_t delivered;
    } rows[] = {
        {"a decoded picture is delivered", noErr, false, true, true, 1},
        {"after bad data", kVTVideoDecoderBadDataErr, false, true, true, 0},
        {"after any failure", -1, false, true, true, 0},
        {"after a decode without picture", noErr, true, true, true, 0},
        {"without delegate", noErr, false, false, true, 0},
        {"to an object that no one owns", noErr, false, true, false, 0},
    };
    CVPixelBufferRef picture = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(nullptr, 64, 8, kCVPixelFormatType_32BGRA, nullptr, &picture),
              kCVReturnSuccess);
    const auto units = testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        auto delegate = std::make_shared<RecordingDelegate>();
        // Its stream began at a random-access point; the delegate comes after that picture.
        auto handler = freshHandler(nullptr, false);
        handler->DecodeNALUs(units[0].data(), int32_t(units[0].size()), 0);
        handler->setDelegate(row.withDelegate ? delegate : nullptr);
        H264HwDecoderImpl unowned;
        unowned.setDelegate(delegate);
        H264HwDecoderImpl* const target = row.owned ? handler.get() : &unowned;
        takeLocks();
        if (row.failureBefore != noErr || row.noPictureBefore) {
            didDecompress(target, nullptr, row.failureBefore, 0,
                          row.noPictureBefore ? nullptr : picture, kCMTimeInvalid, kCMTimeInvalid);
            EXPECT_TRUE(handler->statistics()->snapshot().keyframeNeeded);
        }
        didDecompress(target, nullptr, noErr, 0, picture, kCMTimeInvalid, kCMTimeInvalid);

        EXPECT_EQ(delegate->pictures().size(), row.delivered);
        const auto locks = takeLocks();
        ASSERT_EQ(locks.size(), 2u);
        EXPECT_TRUE(locks[0].lock && !locks[1].lock);
        for (const Lock& lock : locks) {
            EXPECT_EQ(lock.buffer, picture);
            EXPECT_EQ(lock.flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
        }
    }
    CVPixelBufferRelease(picture);
}

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

// For a platform that hands pictures out in decode order: what comes out, in which order, for
// pictures pushed in decode order with their display times.
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
        {"no reordering passes straight through",
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

// The window is what the real clips' sequence parameter sets state.
TEST(PictureReorderTest, TheWindowIsWhatTheSequenceParameterSetStates) {
    const std::pair<const char*, int> clips[] = {
        {"h264_cbp_320x240", 0}, {"h264_high_bframes_640x360", 2}, {"h265_main_320x240", 0}};
    for (const auto& [name, window] : clips) {
        const bool h265 = testsupport::fixtureClip(name).codec == testsupport::Codec::H265;
        const auto units = testsupport::readAccessUnits(testsupport::fixtureClip(name));
        const auto sps = firstOfType(units.front(), h265 ? 33 : 7, h265);
        const auto info = h265 ? parametersets::parseHevcSps(sps.data(), sps.size())
                               : parametersets::parseH264Sps(sps.data(), sps.size());
        ASSERT_TRUE(info.has_value()) << name;
        EXPECT_EQ(info->reorderWindow, window) << name;
    }
}

}  // namespace
