// The whole product as the host engine drives it: the built plugin loaded with dlopen, a real
// headless OpenGL context on each renderer, a fixture played through the simulator's playback.
// What the simulator reads back from the texture and writes as PNG is FFmpeg's picture.
#include "EglContext.h"
#include "Fixtures.h"
#include "Pictures.h"
#include "Playback.h"
#include "PluginLibrary.h"
#include "ProcessFigures.h"
#include "SimulatedHostInterfaces.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>

using namespace testsupport;

namespace {

// A PNG snapshot as BGRA; empty when it cannot be read.
BgraPicture readPngAsBgra(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    BgraPicture picture;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = PNG_FORMAT_BGRA;
        picture = {int(image.width), int(image.height),
                   std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
        EXPECT_TRUE(png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr));
    }
    return picture;
}

struct PlaybackCase {
    const char* clip;
    UnityGfxRenderer renderer;
    int dropEvery;
    // What the plugin reports at the end; the last picture shown is the reference's lastShown.
    int lastShown;
    uint64_t waitingForKeyframe;
    uint64_t keyframeRequests;
};

class PlaybackThroughThePlugin : public testing::TestWithParam<PlaybackCase> {};

TEST_P(PlaybackThroughThePlugin, LastTexturePictureIsTheLastReferencePicture) {
    // As a host process does: the plugin's runtime libraries outlive its unloading.
    keepObjectiveCRuntimeLoaded();
    const FixtureClip& clip = fixtureClip(GetParam().clip);
    std::string error;
    auto context = headlessgl::EglContext::create(GetParam().renderer, &error);
    ASSERT_TRUE(context) << error;
    auto library = PluginLibrary::open(PLUGIN_PATH, &error);
    ASSERT_TRUE(library) << error;

    // At the stream's own pace, as a live source delivers.
    SimulatorOptions options;
    options.renderer = GetParam().renderer;
    options.dropEvery = GetParam().dropEvery;
    options.outDir = testing::TempDir() + "playback_" + clip.name;
    std::filesystem::create_directories(options.outDir);
    StreamInput input;
    ASSERT_TRUE(loadStreamInput(clip.path(), options, &input, &error)) << error;

    SimulatedHostInterfaces host(options.renderer);
    library->api().UnityPluginLoad(host.interfaces());
    PlaybackResult result;
    const bool played = runPlayback(library->api(), options, {input}, &result, &error);
    host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    library->api().UnityPluginUnload();
    ASSERT_TRUE(played) << error;

    ASSERT_EQ(result.instances.size(), 1u);
    const PlaybackStats& stats = result.instances.front();
    const PluginFigures& plugin = stats.plugin;
    EXPECT_EQ(plugin.committed + uint64_t(stats.leftOut), uint64_t(clip.accessUnits));
    // The black of each binding shows too: one for the picture size, one more for the padded
    // row width where the platform pads rows.
    EXPECT_LE(uint64_t(stats.shown), plugin.uploaded + 2);
    EXPECT_EQ(plugin.dropped[1], GetParam().waitingForKeyframe) << "waiting for a keyframe";
    EXPECT_EQ(plugin.keyframeRequests, GetParam().keyframeRequests);
    EXPECT_TRUE(plugin.drained());
    ASSERT_FALSE(result.snapshots.empty());

    // A texture bound at the padded row width holds the picture in its left columns.
    const BgraPicture shown = readPngAsBgra(result.snapshots.back());
    const std::vector<std::string> md5s = readFrameMd5s(clip);
    ASSERT_GE(shown.width, clip.width);
    ASSERT_EQ(shown.height, clip.height);
    EXPECT_EQ(md5Hex(packRows(shown.pixels.data(), clip.width, shown.height, shown.width * 4)),
              GetParam().lastShown < 0 ? md5s.back() : md5s[size_t(GetParam().lastShown)]);
    std::filesystem::remove_all(options.outDir);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, PlaybackThroughThePlugin,
    testing::Values(PlaybackCase{"h264_cbp_320x240", kUnityGfxRendererOpenGLCore, 0, -1, 0, 0},
                    PlaybackCase{"h265_main_320x240", kUnityGfxRendererOpenGLES30, 0, -1, 0, 0},
                    PlaybackCase{"h264_odd_642x362", kUnityGfxRendererOpenGLES20, 0, -1, 0, 0},
                    // Units 24, 49 and 74 lost; keyframes at 0 and 60: 25 to 59 and 75 to 89
                    // are not shown, and each of the two waits asks for a keyframe.
                    PlaybackCase{"h264_gop60_1280x720", kUnityGfxRendererOpenGLCore, 25, 73, 49,
                                 2}),
    [](const auto& test) {
        return std::string(test.param.clip) + "_" + headlessgl::rendererName(test.param.renderer);
    });

}  // namespace
