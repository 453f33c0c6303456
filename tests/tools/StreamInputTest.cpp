// Reading stream files for the simulator: every access unit up to the end of the file, and one
// clear reason for each kind of bad input.
#include "Fixtures.h"
#include "Playback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace testsupport;

namespace {

std::string writeTemporary(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

TEST(StreamInput, EveryAccessUnitUpToTheEndOfTheFile) {
    for (const char* name : {"h264_cbp_320x240", "h265_main_320x240", "h264_tiny_16x16"}) {
        const FixtureClip& clip = fixtureClip(name);
        StreamInput input;
        std::string error;
        ASSERT_TRUE(loadStreamInput(clip.path(), SimulatorOptions{}, &input, &error)) << error;
        ASSERT_EQ(int(input.units.size()), clip.accessUnits) << name;
        // The parser holds the last access unit until it is drained: it must be there, whole.
        const std::vector<uint8_t> file = readFileBytes(clip.path());
        const std::vector<uint8_t>& last = input.units.back();
        ASSERT_LE(last.size(), file.size());
        EXPECT_TRUE(std::equal(last.begin(), last.end(), file.end() - long(last.size()))) << name;
        EXPECT_DOUBLE_EQ(input.fps, 30) << "the clips signal 30 frames per second";
    }
}

TEST(StreamInput, FpsOptionOverridesTheSignalledRate) {
    SimulatorOptions options;
    options.fps = 12.5;
    StreamInput input;
    std::string error;
    ASSERT_TRUE(loadStreamInput(fixtureClip("h264_cbp_320x240").path(), options, &input, &error));
    EXPECT_DOUBLE_EQ(input.fps, 12.5);
}

TEST(StreamInput, CodecOptionReadsAFileWithoutAKnownExtension) {
    const std::string path =
        writeTemporary("clip.bin", readFileBytes(fixtureClip("h265_main_320x240").path()));
    SimulatorOptions options;
    StreamInput input;
    std::string error;
    EXPECT_FALSE(loadStreamInput(path, options, &input, &error));
    EXPECT_NE(error.find("--codec"), std::string::npos) << error;

    options.codec = annexb::StreamCodec::H265;
    ASSERT_TRUE(loadStreamInput(path, options, &input, &error)) << error;
    EXPECT_EQ(int(input.units.size()), fixtureClip("h265_main_320x240").accessUnits);
    std::remove(path.c_str());
}

TEST(StreamInput, BadInputGivesOneClearLine) {
    const std::string notAnnexB = writeTemporary(
        "garbage.h264", std::vector<uint8_t>{'R', 'I', 'F', 'F', 0, 0, 0, 1, 0x65, 1, 2, 3});
    const std::string empty = writeTemporary("empty.h264", {});
    const std::string h265AsH264 =
        writeTemporary("hevc.h264", readFileBytes(fixtureClip("h265_main_320x240").path()));
    const std::string h264AsH265 =
        writeTemporary("avc.h265", readFileBytes(fixtureClip("h264_cbp_320x240").path()));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/clip.h264", "cannot read"},
        {notAnnexB, "not an Annex B stream"},
        {empty, "not an Annex B stream"},
        {h265AsH264, "H.264"},
        {h264AsH265, "H.265"},
    };
    for (const auto& [path, expected] : cases) {
        StreamInput input;
        std::string error;
        EXPECT_FALSE(loadStreamInput(path, SimulatorOptions{}, &input, &error)) << path;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    for (const std::string& path : {notAnnexB, empty, h265AsH264, h264AsH265}) {
        std::remove(path.c_str());
    }
}

}  // namespace
