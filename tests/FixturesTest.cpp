// The committed clips are what the manifest says they are, their reference pictures are the
// pictures FFmpeg decoded, and the clips that tests pick for a property have it.
#include "AnnexB.h"
#include "Fixtures.h"
#include "NalUnits.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using namespace testsupport;

namespace {

class EveryClip : public testing::TestWithParam<FixtureClip> {};

TEST_P(EveryClip, SplitsIntoItsFramesAndItsReferencesAreFfmpegsPictures) {
    const FixtureClip& clip = GetParam();
    const std::vector<AccessUnit> units = readAccessUnits(clip);
    EXPECT_EQ(int(units.size()), clip.accessUnits);
    EXPECT_EQ(int(units.size()), clip.frames);
    size_t total = 0;
    for (const AccessUnit& unit : units) {
        EXPECT_TRUE(unit.size() > 4 && unit[0] == 0 && unit[1] == 0 &&
                    (unit[2] == 1 || (unit[2] == 0 && unit[3] == 1)))
            << "an access unit starts with a start code";
        total += unit.size();
    }
    EXPECT_EQ(total, readFileBytes(clip.path()).size()) << "bytes lost or added by splitting";

    // The references are the first of the pictures whose MD5s the ffmpeg tool wrote.
    const std::vector<std::string> md5s = readFrameMd5s(clip);
    const std::vector<BgraPicture> reference = readReferencePictures(clip);
    EXPECT_EQ(int(md5s.size()), clip.frames);
    ASSERT_EQ(int(reference.size()), clip.referenceFrames);
    for (size_t i = 0; i < reference.size(); ++i) {
        EXPECT_EQ(std::make_pair(reference[i].width, reference[i].height),
                  std::make_pair(clip.width, clip.height));
        EXPECT_EQ(md5Hex(reference[i]), md5s[i]) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EveryClip, testing::ValuesIn(fixtureClips()),
                         [](const auto& clip) { return clip.param.name; });

// How many NAL units of the given types each access unit carries (or only the first or last).
TEST(FixtureProperties, ClipsCarryTheNalUnitsTheirTestsRelyOn) {
    enum Units { Every, First, Last };
    const struct {
        const char* clip;
        Units units;
        std::vector<int> types;
        int atLeast, atMost;
    } rows[] = {
        {"h264_slices50_320x240", Every, {1, 5}, 40, INT_MAX},         // slices
        {"h264_repeat_headers_320x240", Every, {7}, 1, 1},             // SPS
        {"h264_repeat_headers_320x240", Every, {8}, 1, 1},             // PPS
        {"h264_repeat_headers_320x240", Every, {6}, 1, INT_MAX},       // SEI
        {"h265_repeat_headers_320x240", Every, {32}, 1, 1},            // VPS
        {"h265_repeat_headers_320x240", Every, {33}, 1, 1},            // SPS
        {"h265_repeat_headers_320x240", Every, {34}, 1, 1},            // PPS
        {"h265_repeat_headers_320x240", Every, {39, 40}, 1, INT_MAX},  // prefix or suffix SEI
        {"h264_cbp_320x240", First, {7}, 1, 1},
        {"h264_cbp_320x240", Last, {7}, 0, 0},
    };
    for (const auto& row : rows) {
        const FixtureClip& clip = fixtureClip(row.clip);
        std::vector<AccessUnit> units = readAccessUnits(clip);
        if (row.units != Every) {
            units = {row.units == First ? units.front() : units.back()};
        }
        for (const AccessUnit& unit : units) {
            const auto nals = nalunits::findNalUnits(unit.data(), unit.size());
            const auto found = std::count_if(nals.begin(), nals.end(), [&](const auto& nal) {
                const uint8_t header = unit[nal.first];
                const int type = clip.codec == Codec::H265 ? nalunits::hevcType(header)
                                                           : nalunits::h264Type(header);
                return std::count(row.types.begin(), row.types.end(), type) > 0;
            });
            EXPECT_GE(found, row.atLeast) << row.clip << " type " << row.types[0];
            EXPECT_LE(found, row.atMost) << row.clip << " type " << row.types[0];
        }
    }
}

}  // namespace
