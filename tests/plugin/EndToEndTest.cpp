// Real streams through the exported functions, as a host plays them: the callback hears the
// texture size, the host binds a texture of that size, every later picture lands in the frame
// buffer exactly as FFmpeg decodes it, and reaches the texture when the host renders on its own
// clock.
#include "HostSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>

using namespace hosttest;

namespace {

// The picture in the frame buffer of the bound texture, cropped to the clip.
std::string frameBufferMd5(uint8_t id, const FixtureClip& clip) {
    const std::optional<TextureSnapshot> texture = snapshotTexture(id);
    if (!texture || texture->frameBuffer.empty()) {
        return "no frame buffer";
    }
    return testsupport::md5Hex(testsupport::packRows(texture->frameBuffer.data(), clip.width,
                                                     clip.height, texture->width * 4));
}

// Whether `address` lies inside the instance running under `id`.
bool pointsIntoInstance(uint8_t id, const uint8_t* address) {
    std::lock_guard<std::mutex> lock(h264_execMutex);
    const auto* instance = reinterpret_cast<const uint8_t*>(h264_execs.at(id).get());
    return address >= instance && address < instance + sizeof(H264Decoder);
}

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
    const FixtureClip& before =
        testsupport::fixtureClip(clip.width == 16 ? "h265_main_320x240" : "h264_tiny_16x16");
    const auto earlier = startWatched(kId, configFor(before));
    ASSERT_TRUE(commit(kId, testsupport::readAccessUnits(before)[0]));
    ASSERT_TRUE(earlier->waitForPictures(1));
    H264Decoder_stop(kId);

    const auto tap = startWatched(kId, configFor(clip));
    EXPECT_FALSE(start(kId, clip.codec == testsupport::Codec::H265 ? "{}" : "{\"isH265\":true}"));
    s_CurrentAPI.reset(new RecordingBackend);
    ASSERT_TRUE(commit(kId, units[0]));
    ASSERT_TRUE(tap->waitForPictures(1));
    const int rowWidth = tap->pictures()[0].bytesPerRow / 4;
    std::vector<std::string> expectedTexts{decodertest::textureInfoText(clip.width, clip.height)};
    if (rowWidth != clip.width) {
        expectedTexts.push_back(decodertest::textureInfoText(rowWidth, clip.height));
    }
    ASSERT_EQ(textsOf(kId), expectedTexts);
    for (const TextureInfoLog::Call& call : TextureInfoLog::callsFor(kId)) {
        EXPECT_EQ(call.idValue, kId);
        EXPECT_TRUE(pointsIntoInstance(kId, call.idAddress));
    }

    size_t next = 1;
    if (rowWidth != clip.width) {
        ASSERT_TRUE(bind(kId, kTexture, textureDescription(clip.width, clip.height)));
        ASSERT_TRUE(commit(kId, units[next++]));
        ASSERT_TRUE(tap->waitForPictures(2));
        EXPECT_EQ(snapshotTexture(kId)->frameBuffer, opaqueBlack(clip.width, clip.height));
    }
    ASSERT_TRUE(bind(kId, kTexture, textureDescription(rowWidth, clip.height)));
    for (size_t i = next; i < units.size(); ++i) {
        ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3600)));
        ASSERT_TRUE(tap->waitForPictures(i + 1)) << "picture " << i;
        ASSERT_EQ(frameBufferMd5(kId, clip), md5s[i]) << "picture " << i;
        H264Decoder_nativeRenderEventFunc()(0);
    }
    EXPECT_EQ(TextureInfoLog::countFor(kId), expectedTexts.size());

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
    EXPECT_STREQ(json["codec"].GetString(), configFor(clip) == "{}" ? "h264" : "h265");
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
                         [](const testing::TestParamInfo<std::string>& clipName) {
                             return clipName.param;
                         });

// A 30 fps stream committed at its pace while the host's render thread renders on its own clock,
// out of step with the commits: every picture of the stream reaches the texture.
TEST(EveryPicture, ReachesTheTextureWhenTheHostRendersAtLeastAsOftenAsTheStream) {
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
        const auto period = std::chrono::microseconds(1000000 / renderHz);
        // The longest time between two render events: a loaded machine may hold the render
        // thread up for longer than a frame.
        std::chrono::steady_clock::duration longestGap{0};
        std::thread renderThread([&] {
            auto last = std::chrono::steady_clock::now();
            for (auto next = last; rendering;) {
                H264Decoder_nativeRenderEventFunc()(0);
                const auto now = std::chrono::steady_clock::now();
                longestGap = std::max(longestGap, now - last);
                last = now;
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
        auto due = std::chrono::steady_clock::now();
        for (size_t i = 0; i < units.size(); ++i) {
            std::this_thread::sleep_until(due);
            due += frameInterval;
            ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3333)));
        }
        std::set<std::string> uploaded;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (uploaded.count(md5s.back()) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            for (const RecordingBackend::Upload& upload : backend->takeUploads()) {
                uploaded.insert(upload.md5);
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
