// The committed clips are what the manifest says they are, and FFmpeg decodes each of them to
// its committed reference: every later test can trust them.
#include "AnnexB.h"
#include "Fixtures.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace testsupport;

namespace {

class EveryClip : public testing::TestWithParam<FixtureClip> {};

std::string clipName(const testing::TestParamInfo<FixtureClip>& info) {
    return info.param.name;
}

bool startsWithStartCode(const AccessUnit& unit) {
    return unit.size() > 4 && unit[0] == 0 && unit[1] == 0 &&
           (unit[2] == 1 || (unit[2] == 0 && unit[3] == 1));
}

TEST_P(EveryClip, SplitsIntoOneAccessUnitPerFrame) {
    const FixtureClip& clip = GetParam();
    const std::vector<AccessUnit> units = readAccessUnits(clip);
    EXPECT_EQ(int(units.size()), clip.accessUnits);
    EXPECT_EQ(int(units.size()), clip.frames);
    for (const AccessUnit& unit : units) {
        EXPECT_TRUE(startsWithStartCode(unit));
    }
    size_t total = 0;
    for (const AccessUnit& unit : units) {
        total += unit.size();
    }
    EXPECT_EQ(total, readFileBytes(clip.path()).size()) << "bytes lost or added by splitting";
}

TEST_P(EveryClip, FfmpegDecodesToTheCommittedReference) {
    const FixtureClip& clip = GetParam();
    const std::vector<BgraPicture> decoded = decodeWithFfmpeg(clip);
    const std::vector<std::string> md5s = readFrameMd5s(clip);
    ASSERT_EQ(int(decoded.size()), clip.frames);
    ASSERT_EQ(md5s.size(), decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        EXPECT_EQ(decoded[i].width, clip.width);
        EXPECT_EQ(decoded[i].height, clip.height);
        EXPECT_EQ(md5Hex(decoded[i]), md5s[i]) << "frame " << i;
    }

    const std::vector<BgraPicture> reference = readReferencePictures(clip);
    ASSERT_EQ(int(reference.size()), clip.referenceFrames);
    for (size_t i = 0; i < reference.size(); ++i) {
        EXPECT_TRUE(std::isinf(psnr(decoded[i], reference[i]))) << "frame " << i;
        EXPECT_EQ(md5Hex(reference[i]), md5s[i]) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EveryClip, testing::ValuesIn(fixtureClips()), clipName);

int countOf(const std::vector<int>& types, int type) {
    return int(std::count(types.begin(), types.end(), type));
}

TEST(FixtureProperties, SlicedClipHasAtLeastFortySlicesPerPicture) {
    const FixtureClip& clip = fixtureClip("h264_slices50_320x240");
    for (const AccessUnit& unit : readAccessUnits(clip)) {
        const std::vector<int> types = nalUnitTypes(unit, clip.codec);
        EXPECT_GE(countOf(types, 1) + countOf(types, 5), 40);
    }
}

TEST(FixtureProperties, RepeatHeaderClipsCarryParameterSetsAndSeiInEveryAccessUnit) {
    const FixtureClip& h264 = fixtureClip("h264_repeat_headers_320x240");
    for (const AccessUnit& unit : readAccessUnits(h264)) {
        const std::vector<int> types = nalUnitTypes(unit, h264.codec);
        EXPECT_EQ(countOf(types, 7), 1);  // SPS
        EXPECT_EQ(countOf(types, 8), 1);  // PPS
        EXPECT_GE(countOf(types, 6), 1);  // SEI
    }
    const FixtureClip& h265 = fixtureClip("h265_repeat_headers_320x240");
    for (const AccessUnit& unit : readAccessUnits(h265)) {
        const std::vector<int> types = nalUnitTypes(unit, h265.codec);
        EXPECT_EQ(countOf(types, 32), 1);                       // VPS
        EXPECT_EQ(countOf(types, 33), 1);                       // SPS
        EXPECT_EQ(countOf(types, 34), 1);                       // PPS
        EXPECT_GE(countOf(types, 39) + countOf(types, 40), 1);  // prefix or suffix SEI
    }
}

TEST(FixtureProperties, OtherClipsCarryParameterSetsOnlyInTheirFirstAccessUnit) {
    const FixtureClip& clip = fixtureClip("h264_cbp_320x240");
    const std::vector<AccessUnit> units = readAccessUnits(clip);
    EXPECT_EQ(countOf(nalUnitTypes(units.front(), clip.codec), 7), 1);
    EXPECT_EQ(countOf(nalUnitTypes(units.back(), clip.codec), 7), 0);
}

TEST(FixtureProperties, BFrameClipReordersPictures) {
    // With B-frames the decoder holds pictures back: an access unit's nal_ref_idc of 0 marks a
    // non-reference (B) picture in this stream.
    const FixtureClip& clip = fixtureClip("h264_high_bframes_640x360");
    int nonReferencePictures = 0;
    for (const AccessUnit& unit : readAccessUnits(clip)) {
        for (size_t i = 0; i + 3 < unit.size(); ++i) {
            if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
                const uint8_t header = unit[i + 3];
                nonReferencePictures += (header & 0x1f) == 1 && (header & 0x60) == 0;
            }
        }
    }
    EXPECT_GT(nonReferencePictures, 0);
}

}  // namespace
