// What the host simulator reads: its command line, every option read and the defaults filled in,
// and stream files, every access unit up to the end of the file with the codec from the
// extension or the option. Each mistake a user can make gives one line naming it.
#include "Fixtures.h"
#include "Playback.h"
#include "SimulatorOptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace testsupport;

namespace {

std::optional<SimulatorOptions> parse(const std::vector<std::string>& arguments,
                                      std::string* error) {
    return parseSimulatorOptions(arguments, "sample.h264", "libplugin.so", error);
}

TEST(SimulatorOptions, EveryOptionIsReadAndTheDefaultsFillTheRest) {
    std::string error;
    const auto defaults = parse({"--renderer", "gles3", "--fast"}, &error);
    ASSERT_TRUE(defaults) << error;
    EXPECT_EQ(defaults->files, std::vector<std::string>{"sample.h264"});
    EXPECT_EQ(defaults->pluginPath, "libplugin.so");
    EXPECT_EQ(defaults->renderer, kUnityGfxRendererOpenGLES30);
    EXPECT_TRUE(defaults->fast);

    const auto options =
        parse({"a.h265",      "--codec", "h265",         "--fps",    "59.94",
               "--instances", "256",     "--renderer",   "gles2",    "--snapshot-every",
               "10",          "--out",   "shots",        "--plugin", "x.so",
               "--render-hz", "500",     "--drop-every", "25",       "b.h265",
               "--help"},
              &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->files, (std::vector<std::string>{"a.h265", "b.h265"}));
    EXPECT_EQ(options->codec, annexb::StreamCodec::H265);
    EXPECT_DOUBLE_EQ(options->fps, 59.94);
    EXPECT_EQ(options->instances, 256);
    EXPECT_EQ(options->renderer, kUnityGfxRendererOpenGLES20);
    EXPECT_EQ(options->snapshotEvery, 10);
    EXPECT_EQ(options->outDir, "shots");
    EXPECT_EQ(options->pluginPath, "x.so");
    EXPECT_DOUBLE_EQ(options->renderHz, 500);
    EXPECT_EQ(options->dropEvery, 25);
    EXPECT_TRUE(options->help);
}

TEST(SimulatorOptions, BadArgumentsAreRefusedWithOneLine) {
    const std::vector<std::vector<std::string>> bad = {
        {"--instances", "0"},       {"--instances", "257"},
        {"--instances", "2.5"},     {"--fps", "0"},
        {"--fps", "fast"},          {"--fps"},
        {"--renderer", "metal"},    {"--codec", "vp9"},
        {"--snapshot-every", "-1"}, {"--bogus"},
        {"--fast", "--fps", "30"},  {"--out", ""},
        {"--render-hz", "0"},       {"--render-hz", "1001"},
        {"--drop-every", "1"},      {"--drop-every", "0"}};
    for (const auto& arguments : bad) {
        std::string error;
        EXPECT_FALSE(parse(arguments, &error)) << arguments.front();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

std::string writeTemporary(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

// The clips signal 30 frames per second, which --fps overrides; a file without a known extension
// is read as the codec --codec names. PlaybackThroughThePlugin reads the other clips whole.
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
