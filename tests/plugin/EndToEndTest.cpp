// Real streams through the exported functions, as a host plays them: the callback hears the
// texture size, the host binds a texture of that size, every later picture lands in the frame
// buffer exactly as FFmpeg decodes it, and reaches the texture when the host renders on its own
// clock.
#include "HostSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

using namespace hosttest;
using decodertest::textureInfoText;

namespace {

class Playback : public testing::TestWithParam<std::string> {
  protected:
    void TearDown() override {
        H264Decoder_stop(kId);
        s_CurrentAPI.reset();
    }
    static constexpr uint8_t kId = 255;
};

// The id first played another clip: the instance started after that one's stop learns its own
// parameter sets. A second start, with the other codec, is refused and changes nothing. Each
// access unit is committed after the previous picture arrived and was rendered, so that each
// picture can be checked in the frame buffer before the next one replaces it. Where the platform
// pads picture rows, only a texture as wide as the padded row receives pictures.
TEST_P(Playback, EveryPictureAfterBindingLandsInTheFrameBufferAndIsCountedOnce) {
    const FixtureClip& clip = testsupport::fixtureClip(GetParam());
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    const char* before = clip.width == 16 ? "h265_main_320x240" : "h264_tiny_16x16";
    const auto earlier = startWatched(kId, configFor(testsupport::fixtureClip(before)));
    ASSERT_TRUE(commit(kId, unitsOf(before)[0]));
    ASSERT_TRUE(earlier->waitForPictures(1));
    H264Decoder_stop(kId);

    const bool h265 = clip.codec == testsupport::Codec::H265;
    const auto tap = startWatched(kId, configFor(clip));
    EXPECT_FALSE(start(kId, h265 ? "{}" : "{\"isH265\":true}"));
    s_CurrentAPI.reset(new RecordingBackend);
    ASSERT_TRUE(commit(kId, units[0]));
    ASSERT_TRUE(tap->waitForPictures(1));
    const int rowWidth = tap->pictures()[0].bytesPerRow / 4;
    std::vector<std::string> texts{textureInfoText(clip.width, clip.height)};
    size_t next = 1;
    if (rowWidth != clip.width) {
        texts.push_back(textureInfoText(rowWidth, clip.height));
        ASSERT_TRUE(bind(kId, kTexture, textureDescription(clip.width, clip.height)));
        ASSERT_TRUE(commit(kId, units[next++]));
        ASSERT_TRUE(tap->waitForPictures(2));
        EXPECT_EQ(snapshotTexture(kId)->frameBuffer, opaqueBlack(clip.width, clip.height));
    }
    ASSERT_TRUE(bind(kId, kTexture, textureDescription(rowWidth, clip.height)));
    for (size_t i = next; i < units.size(); ++i) {
        ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3600)));
        ASSERT_TRUE(tap->waitForPictures(i + 1)) << "picture " << i;
        const std::vector<uint8_t> pixels = snapshotTexture(kId)->frameBuffer;
        ASSERT_EQ(testsupport::md5Hex(
                      testsupport::packRows(pixels.data(), clip.width, clip.height, rowWidth * 4)),
                  md5s[i])
            << "picture " << i;
        H264Decoder_nativeRenderEventFunc()(0);
    }
    EXPECT_EQ(textsOf(kId), texts);

    const decodertest::Statistics figures = statisticsOf(kId);
    const uint64_t shown = units.size() - next;
    for (const auto& [count, value] : std::map<std::string, uint64_t>{{"committed", units.size()},
                                                                      {"decoded", units.size()},
                                                                      {"delivered", shown},
                                                                      {"uploaded", shown},
                                                                      {"queued", 0},
                                                                      {"sessions", 1},
                                                                      {"keyframeRequests", 0}}) {
        EXPECT_EQ(figures.count(count.c_str()), value) << count;
    }
    for (const auto& [reason, value] : std::map<std::string, uint64_t>{{"noTexture", 1},
                                                                       {"sizeMismatch", next - 1},
                                                                       {"queueFull", 0},
                                                                       {"waitingForKeyframe", 0},
                                                                       {"decodeError", 0},
                                                                       {"textureBusy", 0}}) {
        EXPECT_EQ(figures.dropped(reason.c_str()), value) << reason;
    }
    const rapidjson::Value& json = figures.json();
    EXPECT_STREQ(json["codec"].GetString(), h265 ? "h265" : "h264");
    EXPECT_EQ(json["width"].GetInt(), clip.width);
    EXPECT_EQ(json["height"].GetInt(), clip.height);
    EXPECT_EQ(json["lastStatus"].GetInt(), 0);
    EXPECT_FALSE(figures.flag("keyframeNeeded"));
    for (const char* times : {"decodeMs", "latencyMs"}) {
        EXPECT_GT(json[times]["max"].GetDouble(), 0.0) << times;
        EXPECT_LE(json[times]["p50"].GetDouble(), json[times]["p95"].GetDouble()) << times;
        EXPECT_LE(json[times]["p95"].GetDouble(), json[times]["max"].GetDouble()) << times;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, Playback,
                         testing::Values("h264_cbp_320x240", "h265_main_320x240",
                                         "h264_odd_642x362", "h265_odd_642x362", "h264_tiny_16x16",
                                         "h264_slices50_320x240", "h264_repeat_headers_320x240",
                                         "h265_repeat_headers_320x240", "h264_portrait_1080x1920"),
                         [](const testing::TestParamInfo<std::string>& clip) {
                             return clip.param;
                         });

// A 30 fps stream committed at its pace while the host's render thread renders on its own clock,
// out of step with the commits: every picture of the stream reaches the texture.
TEST(EveryPicture, ReachesTheTextureWhenTheHostRendersAtLeastAsOftenAsTheStream) {
    using Clock = std::chrono::steady_clock;
    constexpr uint8_t kId = 60;
    const FixtureClip& clip = testsupport::fixtureClip("h264_gop60_1280x720");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    const auto frameInterval = std::chrono::microseconds(1000000 / 30);
    for (int renderHz : {60, 500}) {
        SCOPED_TRACE(std::to_string(renderHz) + " Hz");
        auto* backend = new RecordingBackend;
        s_CurrentAPI.reset(backend);
        ASSERT_TRUE(start(kId, configFor(clip)));
        ASSERT_TRUE(bind(kId, kTexture, textureDescription(clip.width, clip.height)));
        std::atomic<bool> rendering{true};
        // The longest time between two render events: a loaded machine may hold the render
        // thread up for longer than a frame.
        Clock::duration longestGap{0};
        std::thread renderThread([&] {
            for (auto last = Clock::now(), next = last; rendering;) {
                H264Decoder_nativeRenderEventFunc()(0);
                longestGap = std::max(longestGap, Clock::now() - last);
                last = Clock::now();
                std::this_thread::sleep_until(next +=
                                              std::chrono::microseconds(1000000 / renderHz));
            }
        });
        auto due = Clock::now();
        for (size_t i = 0; i < units.size(); ++i, due += frameInterval) {
            std::this_thread::sleep_until(due);
            ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3333)));
        }
        std::set<std::string> uploaded;
        for (const auto deadline = Clock::now() + std::chrono::seconds(30);
             !uploaded.count(md5s.back()) && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            for (const RecordingBackend::Upload& upload : backend->takeUploads()) {
                uploaded.insert(std::get<4>(upload));
            }
        }
        rendering = false;
        renderThread.join();
        const uint64_t replaced = statisticsOf(kId).dropped("textureBusy");
        H264Decoder_stop(kId);
        const uint64_t missing = std::count_if(
            md5s.begin(), md5s.end(), [&](const auto& md5) { return uploaded.count(md5) == 0; });
        // A picture is lost only to a newer one that came before any render event could take
        // it, which a render thread held up for a frame or longer allows.
        EXPECT_EQ(missing, replaced) << "pictures lost otherwise than to a newer one";
        if (longestGap < frameInterval) {
            EXPECT_EQ(missing, 0u) << "of " << md5s.size() << " pictures never reached the texture";
        }
        s_CurrentAPI.reset();
    }
}

}  // namespace
