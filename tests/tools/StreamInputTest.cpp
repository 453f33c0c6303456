// Reading stream files for the simulator: every access unit up to the end of the file, the codec
// from the extension or the option, and one clear reason for each kind of bad input.
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

// The clips signal 30 frames per second, which --fps overrides; a file without a known extension
// is read as the codec --codec names.
TEST(StreamInput, EveryAccessUnitUpToTheEndOfTheFile) {
    const std::string unknownExtension =
        writeTemporary("clip.bin", readFileBytes(fixtureClip("h265_main_320x240").path()));
    SimulatorOptions h265At12;
    h265At12.fps = 12.5;
    h265At12.codec = annexb::StreamCodec::H265;
    const struct {
        const FixtureClip& clip;
        std::string path;
        SimulatorOptions options;
        double fps;
    } rows[] = {
        {fixtureClip("h264_cbp_320x240"), fixtureClip("h264_cbp_320x240").path(), {}, 30},
        {fixtureClip("h265_main_320x240"), fixtureClip("h265_main_320x240").path(), {}, 30},
        {fixtureClip("h264_tiny_16x16"), fixtureClip("h264_tiny_16x16").path(), {}, 30},
        {fixtureClip("h265_main_320x240"), unknownExtension, h265At12, 12.5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        StreamInput input;
        std::string error;
        ASSERT_TRUE(loadStreamInput(row.path, row.options, &input, &error)) << error;
        ASSERT_EQ(int(input.units.size()), row.clip.accessUnits);
        // The parser holds the last access unit until it is drained: it must be there, whole.
        const std::vector<uint8_t> file = readFileBytes(row.path);
        const std::vector<uint8_t>& last = input.units.back();
        ASSERT_LE(last.size(), file.size());
        EXPECT_TRUE(std::equal(last.begin(), last.end(), file.end() - long(last.size())));
        EXPECT_DOUBLE_EQ(input.fps, row.fps);
    }
    std::remove(unknownExtension.c_str());
}

TEST(StreamInput, BadInputGivesOneClearLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/clip.h264", "cannot read"},
        {writeTemporary("garbage.h264", {'R', 'I', 'F', 'F', 0, 0, 0, 1, 0x65, 1, 2, 3}),
         "not an Annex B stream"},
        {writeTemporary("empty.h264", {}), "not an Annex B stream"},
        {writeTemporary("hevc.h264", readFileBytes(fixtureClip("h265_main_320x240").path())),
         "H.264"},
        {writeTemporary("avc.h265", readFileBytes(fixtureClip("h264_cbp_320x240").path())),
         "H.265"},
        {writeTemporary("no_extension.bin", readFileBytes(fixtureClip("h265_main_320x240").path())),
         "--codec"},
    };
    for (const auto& [path, expected] : cases) {
        StreamInput input;
        std::string error;
        EXPECT_FALSE(loadStreamInput(path, SimulatorOptions{}, &input, &error)) << path;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        std::remove(path.c_str());
    }
}

}  // namespace
