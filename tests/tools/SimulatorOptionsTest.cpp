// The host simulator's command line: every option read, the defaults filled in, and one line for
// each error a user can make.
#include "SimulatorOptions.h"

#include <gtest/gtest.h>

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
    EXPECT_NE(simulatorUsage().find("--snapshot-every"), std::string::npos);
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

}  // namespace
