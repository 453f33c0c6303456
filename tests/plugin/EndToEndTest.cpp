// Real streams through the exported functions, as a host plays them: the host's render thread,
// rendering on its own clock, uploads every picture after the binding exactly as FFmpeg decodes
// it, unless a newer one replaced it before any render event could take it.
#include "HostSupport.h"

#include <algorithm>
#include <chrono>
#include <thread>

using namespace hosttest;

namespace {

using Playback = testing::TestWithParam<std::string>;
constexpr uint8_t kId = 255;

// The id first played a clip of the other codec: the instance started after that one's stop
// learns its own parameter sets. A second start, with the other codec, is refused and changes
// nothing. Each access unit is committed once the previous picture arrived, racing the render
// thread, which polls the figures as a host's overlay does. Where the platform pads picture rows,
// the texture is as wide as the padded row and receives pictures in its left columns.
TEST_P(Playback, EveryPictureAfterBindingIsUploadedInOrderOrCountedAsReplaced) {
    const testsupport::FixtureClip& clip = testsupport::fixtureClip(GetParam());
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    const bool h265 = clip.codec == testsupport::Codec::H265;
    const char* const config = h265 ? "{\"isH265\":true}" : "{}";
    const char* const otherCodec = h265 ? "{}" : "{\"isH265\":true}";
    ASSERT_TRUE(start(kId, otherCodec));
    const auto earlier = PictureTap::install(kId);
    ASSERT_TRUE(commit(kId, unitsOf(h265 ? "h264_tiny_16x16" : "h265_main_320x240")[0]));
    ASSERT_TRUE(earlier->waitForPictures(1));
    H264Decoder_stop(kId);

    ASSERT_TRUE(start(kId, config));
    const auto tap = PictureTap::install(kId);
    EXPECT_FALSE(start(kId, otherCodec));
    ASSERT_TRUE(commit(kId, units[0]));
    ASSERT_TRUE(tap->waitForPictures(1));
    const int rowWidth = tap->pictures()[0].bytesPerRow / 4;
    ASSERT_TRUE(bind(kId, kTexture, textureDescription(rowWidth, clip.height)));
    auto* backend = new RecordingBackend;
    backend->fingerprintedWidth = clip.width;
    s_CurrentAPI.reset(backend);
    std::atomic<bool> rendering{true};
    std::thread renderThread([&] {
        while (rendering) {
            H264Decoder_nativeRenderEventFunc()(0);
            statisticsOf(kId);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    size_t arrived = 1;
    while (arrived < units.size() && commit(kId, units[arrived], uint32_t(arrived * 3600)) &&
           tap->waitForPictures(arrived + 1)) {
        ++arrived;
    }
    const uint64_t delivered = units.size() - 1;
    const auto settled = [&] {
        const decodertest::Statistics figures = statisticsOf(kId);
        return figures.count("uploaded") + figures.dropped("textureBusy") >= delivered;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !settled() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    rendering = false;
    renderThread.join();
    ASSERT_EQ(arrived, units.size()) << "picture " << arrived << " never arrived";
    // Once uploaded, the last picture stays what the frame buffer shows.
    const std::vector<uint8_t> shown = snapshotTexture(kId)->frameBuffer;
    EXPECT_EQ(testsupport::md5Hex(
                  testsupport::packRows(shown.data(), clip.width, clip.height, rowWidth * 4)),
              md5s.back());

    // The binding's black may come first; then each upload is a picture after the one before.
    const std::string black =
        testsupport::md5Hex({clip.width, clip.height, opaqueBlack(clip.width, clip.height)});
    uint64_t uploaded = 0;
    auto after = md5s.begin() + 1;
    for (const auto& [texture, width, height, rowPitch, md5] : backend->takeUploads()) {
        EXPECT_EQ(std::tie(texture, width, height), std::tie(kTexture, rowWidth, clip.height));
        if (uploaded == 0 && md5 == black) {
            continue;
        }
        after = std::find(after, md5s.end(), md5);
        ASSERT_NE(after, md5s.end()) << "upload " << uploaded << " is no later picture";
        ++after;
        ++uploaded;
    }

    const decodertest::Statistics figures = statisticsOf(kId);
    EXPECT_EQ(figures.count("decoded"), units.size());
    EXPECT_EQ(figures.count("delivered"), delivered);
    EXPECT_EQ(figures.count("uploaded"), uploaded);
    EXPECT_EQ(figures.count("queued"), 0u);
    EXPECT_EQ(figures.count("sessions"), 1u);
    // A picture is lost only to a newer one that came before any render event could take it
    // (any other loss would leave a picture missing or short of the uploaded and replaced ones).
    EXPECT_EQ(figures.dropped("noTexture"), 1u);
    EXPECT_EQ(figures.dropped("textureBusy"), delivered - uploaded);
    const rapidjson::Value& json = figures.json();
    EXPECT_EQ(json["width"].GetInt(), clip.width);
    EXPECT_EQ(json["height"].GetInt(), clip.height);
    for (const char* times : {"decodeMs", "latencyMs"}) {
        EXPECT_GT(json[times]["max"].GetDouble(), 0.0) << times;
        EXPECT_LE(json[times]["p50"].GetDouble(), json[times]["p95"].GetDouble()) << times;
        EXPECT_LE(json[times]["p95"].GetDouble(), json[times]["max"].GetDouble()) << times;
    }
    H264Decoder_stop(kId);
    s_CurrentAPI.reset();
}

INSTANTIATE_TEST_SUITE_P(Clips, Playback,
                         testing::Values("h264_cbp_320x240", "h265_main_320x240",
                                         "h264_odd_642x362", "h265_odd_642x362", "h264_tiny_16x16",
                                         "h264_slices50_320x240", "h264_repeat_headers_320x240",
                                         "h265_repeat_headers_320x240", "h264_portrait_1080x1920",
                                         "h264_gop60_1280x720"),
                         [](const testing::TestParamInfo<std::string>& clip) {
                             return clip.param;
                         });

}  // namespace
