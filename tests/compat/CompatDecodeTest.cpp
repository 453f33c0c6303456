// Every committed clip through the layer alone: format description, session, length-prefixed
// samples, pictures compared with FFmpeg's own decode.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace compattest {
namespace {

constexpr double kMinimumPsnr = 45.0;
constexpr int64_t kPtsStep = 3000;

// Clips whose frames are reordered: their pictures come out the reorder depth after their samples.
bool reordersFrames(const FixtureClip& clip) {
    return clip.name.find("bframes") != std::string::npos;
}

size_t rowBytes64(int width) {
    return (size_t(width) * 4 + 63) / 64 * 64;
}

struct FormatDeleter {
    void operator()(const opaqueCMFormatDescription* format) const { CFRelease(format); }
};
using FormatHolder = std::unique_ptr<const opaqueCMFormatDescription, FormatDeleter>;

FormatHolder formatFor(const std::vector<AccessUnit>& units, Codec codec) {
    CMFormatDescriptionRef format = nullptr;
    EXPECT_EQ(createFormatDescription(units, codec, &format), noErr);
    return FormatHolder(format);
}

// Decodes the clip sample by sample, waiting after each, and drains at the end.
std::vector<Output> decodeClip(const FixtureClip& clip, bool keepPictures) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    FormatHolder format = formatFor(units, clip.codec);
    if (!format) {
        return {};
    }
    CFDictionaryRef attributes = makeDestinationAttributes();
    Session session(format.get(), attributes, keepPictures);
    CFRelease(attributes);
    EXPECT_EQ(session.createStatus(), noErr);
    size_t submitted = 0;
    for (const AccessUnit& unit : units) {
        EXPECT_EQ(session.decode(pictureSample(unit, clip.codec), int64_t(submitted) * kPtsStep),
                  noErr);
        ++submitted;
        EXPECT_EQ(session.wait(), noErr);
        if (!reordersFrames(clip)) {
            EXPECT_EQ(session.outputCount(), submitted) << "picture held back at " << submitted;
        }
    }
    EXPECT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
    return session.outputs();
}

void expectGeometry(const Output& output, const FixtureClip& clip) {
    ASSERT_EQ(output.status, noErr);
    ASSERT_TRUE(output.hasImage);
    EXPECT_NE(output.thread, std::this_thread::get_id());
    EXPECT_EQ(output.pixelFormat, OSType(kCVPixelFormatType_32BGRA));
    EXPECT_EQ(int(output.width), clip.width);
    EXPECT_EQ(int(output.height), clip.height);
    EXPECT_EQ(output.bytesPerRow, rowBytes64(clip.width));
    for (size_t extra : output.extended) {
        EXPECT_EQ(extra, 0u);
    }
    EXPECT_TRUE(output.opaque);
}

class ClipDecode : public ::testing::TestWithParam<FixtureClip> {};

TEST_P(ClipDecode, FormatDescriptionReportsTheDisplaySize) {
    const FixtureClip& clip = GetParam();
    FormatHolder format = formatFor(testsupport::readAccessUnits(clip), clip.codec);
    ASSERT_NE(format, nullptr);
    const CMVideoDimensions size = CMVideoFormatDescriptionGetDimensions(format.get());
    EXPECT_EQ(size.width, clip.width);
    EXPECT_EQ(size.height, clip.height);
    EXPECT_EQ(
        CMFormatDescriptionGetMediaSubType(format.get()),
        FourCharCode(clip.codec == Codec::H265 ? kCMVideoCodecType_HEVC : kCMVideoCodecType_H264));
}

TEST_P(ClipDecode, DeliversEveryFrameMatchingFfmpeg) {
    const FixtureClip& clip = GetParam();
    const std::vector<std::string> referenceMd5 = testsupport::readFrameMd5s(clip);
    ASSERT_EQ(int(referenceMd5.size()), clip.frames);
    const std::vector<Output> outputs = decodeClip(clip, false);
    ASSERT_EQ(int(outputs.size()), clip.frames);

    std::set<int64_t> times;
    std::vector<size_t> inexact;
    for (size_t i = 0; i < outputs.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        expectGeometry(outputs[i], clip);
        if (outputs[i].md5 != referenceMd5[i]) {
            inexact.push_back(i);
        }
        EXPECT_EQ(outputs[i].pts % kPtsStep, 0);
        times.insert(outputs[i].pts);
    }
    // Each sample's picture once, whatever the order.
    EXPECT_EQ(int(times.size()), clip.frames);
    EXPECT_EQ(*times.rbegin(), int64_t(clip.frames - 1) * kPtsStep);
    if (inexact.empty()) {
        return;
    }
    // Not bit-exact (another libswscale code path): close enough to FFmpeg's own pictures?
    const std::vector<BgraPicture> reference = testsupport::decodeWithFfmpeg(clip);
    const std::vector<Output> pictures = decodeClip(clip, true);
    ASSERT_EQ(pictures.size(), reference.size());
    for (size_t i : inexact) {
        EXPECT_GE(testsupport::psnr(pictures[i].picture, reference[i]), kMinimumPsnr)
            << "picture " << i;
    }
}

std::string clipName(const ::testing::TestParamInfo<FixtureClip>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ClipDecode, ::testing::ValuesIn(testsupport::fixtureClips()),
                         clipName);

}  // namespace
}  // namespace compattest
