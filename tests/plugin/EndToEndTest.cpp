// Real streams through the exported functions, as a host plays them: the callback hears the
// texture size, the host binds a texture of that size, every later picture lands in the frame
// buffer exactly as FFmpeg decodes it, and reaches the texture when the host renders on its own
// clock.
#include "AnnexB.h"
#include "GraphicsDevice.h"
#include "HostSupport.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

using namespace decodertest;
using namespace hosttest;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;

std::string configFor(const FixtureClip& clip) {
    return clip.codec == testsupport::Codec::H265 ? "{\"isH265\":true}" : "{}";
}

std::vector<std::string> textsOf(uint8_t id) {
    std::vector<std::string> texts;
    for (const TextureInfoLog::Call& call : TextureInfoLog::callsFor(id)) {
        texts.push_back(call.text);
    }
    return texts;
}

// The picture in the frame buffer of a texture `textureWidth` wide, cropped to the clip.
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

// A clean stream whose first picture came before the texture was bound, and whose pictures no
// render event uploaded: every count the host reads.
void expectCleanPlaybackFigures(const Statistics& figures, const FixtureClip& clip, size_t units) {
    const struct {
        const char* name;
        uint64_t value;
    } counts[] = {
        {"committed", units}, {"queued", 0},   {"decoded", units},      {"delivered", units - 1},
        {"uploaded", 0},      {"sessions", 1}, {"keyframeRequests", 0},
    };
    for (const auto& count : counts) {
        EXPECT_EQ(figures.count(count.name), count.value) << count.name;
    }
    const struct {
        const char* reason;
        uint64_t value;
    } drops[] = {
        {"queueFull", 0},
        {"waitingForKeyframe", 0},
        {"decodeError", 0},
        {"noTexture", 1},
        // Each picture but the first replaced one that no render event took.
        {"sizeMismatch", 0},
        {"textureBusy", units - 2},
    };
    for (const auto& drop : drops) {
        EXPECT_EQ(figures.dropped(drop.reason), drop.value) << drop.reason;
    }
    const rapidjson::Value& json = figures.json();
    EXPECT_STREQ(json["codec"].GetString(),
                 clip.codec == testsupport::Codec::H265 ? "h265" : "h264");
    EXPECT_EQ(json["width"].GetInt(), clip.width);
    EXPECT_EQ(json["height"].GetInt(), clip.height);
    EXPECT_EQ(json["lastStatus"].GetInt(), 0);
    EXPECT_FALSE(figures.flag("keyframeNeeded"));
    for (const char* times : {"decodeMs", "latencyMs"}) {
        const rapidjson::Value& window = json[times];
        EXPECT_GT(window["max"].GetDouble(), 0.0) << times;
        EXPECT_LE(window["p50"].GetDouble(), window["p95"].GetDouble()) << times;
        EXPECT_LE(window["p95"].GetDouble(), window["max"].GetDouble()) << times;
    }
}

class Playback : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { TextureInfoLog::forget(kId); }
    void TearDown() override {
        H264Decoder_stop(kId);
        TextureInfoLog::forget(kId);
    }
    static constexpr uint8_t kId = 255;
};

// Each access unit is committed after the previous picture arrived, so that each picture can be
// checked in the frame buffer before the next one replaces it.
TEST_P(Playback, EveryPictureAfterBindingLandsInTheFrameBuffer) {
    const FixtureClip& clip = testsupport::fixtureClip(GetParam());
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    ASSERT_TRUE(start(kId, configFor(clip)));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, TextureInfoLog::first()));
    const auto tap = PictureTap::install(kId);

    ASSERT_TRUE(commit(kId, units[0]));
    ASSERT_TRUE(tap->waitForPictures(1));
    const PictureTap::Picture first = tap->pictures()[0];
    std::vector<std::string> expectedTexts{textureInfoText(clip.width, clip.height)};
    if (first.bytesPerRow != clip.width * 4) {
        expectedTexts.push_back(textureInfoText(first.bytesPerRow / 4, clip.height));
    }
    ASSERT_EQ(textsOf(kId), expectedTexts);
    for (const TextureInfoLog::Call& call : TextureInfoLog::callsFor(kId)) {
        EXPECT_EQ(call.idValue, kId);
        EXPECT_EQ(call.callback, 1);
        EXPECT_TRUE(pointsIntoInstance(kId, call.idAddress));
    }

    ASSERT_TRUE(bind(kId, kTexture, textureDescription(first.bytesPerRow / 4, clip.height)));
    for (size_t i = 1; i < units.size(); ++i) {
        ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3600)));
        ASSERT_TRUE(tap->waitForPictures(i + 1)) << "picture " << i;
        ASSERT_EQ(frameBufferMd5(kId, clip), md5s[i]) << "picture " << i;
    }
    EXPECT_EQ(TextureInfoLog::countFor(kId), expectedTexts.size());
    expectCleanPlaybackFigures(statisticsOf(kId), clip, units.size());
}

INSTANTIATE_TEST_SUITE_P(Clips, Playback,
                         testing::Values("h264_cbp_320x240", "h265_main_320x240",
                                         "h264_odd_642x362", "h265_odd_642x362", "h264_tiny_16x16",
                                         "h264_slices50_320x240", "h264_repeat_headers_320x240",
                                         "h265_repeat_headers_320x240"),
                         [](const testing::TestParamInfo<std::string>& clipName) {
                             return clipName.param;
                         });

// 1080 pixels per row pad to 4352 bytes: only a texture 1088 wide receives the pictures.
TEST(PortraitPlayback, OnlyATextureAsWideAsThePaddedRowReceivesPictures) {
    constexpr uint8_t kId = 0;
    const FixtureClip& clip = testsupport::fixtureClip("h264_portrait_1080x1920");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    TextureInfoLog::forget(kId);
    ASSERT_TRUE(start(kId, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, TextureInfoLog::first()));
    const auto tap = PictureTap::install(kId);

    ASSERT_TRUE(commit(kId, units[0]));
    ASSERT_TRUE(tap->waitForPictures(1));
    EXPECT_EQ(textsOf(kId), (std::vector<std::string>{
                                "{\"width\":1080,\"height\":1920,\"format\":0,\"linear\":true,"
                                "\"mipMap\":false}",
                                "{\"width\":1088,\"height\":1920,\"format\":0,\"linear\":true,"
                                "\"mipMap\":false}"}));

    ASSERT_TRUE(bind(kId, kTexture, textureDescription(1080, 1920)));
    fillFrameBuffer(kId, 0);
    for (size_t i = 1; i < 4; ++i) {
        ASSERT_TRUE(commit(kId, units[i]));
        ASSERT_TRUE(tap->waitForPictures(i + 1));
    }
    const std::optional<TextureSnapshot> narrow = snapshotTexture(kId);
    ASSERT_TRUE(narrow.has_value());
    EXPECT_EQ(narrow->frameBuffer, std::vector<uint8_t>(size_t(1080) * 1920 * 4, 0));
    EXPECT_EQ(statisticsOf(kId).dropped("sizeMismatch"), 3u);

    ASSERT_TRUE(bind(kId, kTexture, textureDescription(1088, 1920)));
    for (size_t i = 4; i < units.size(); ++i) {
        ASSERT_TRUE(commit(kId, units[i]));
        ASSERT_TRUE(tap->waitForPictures(i + 1));
        const std::optional<TextureSnapshot> wide = snapshotTexture(kId);
        ASSERT_EQ(wide->frameBuffer.size(), size_t(4352) * 1920);
        EXPECT_EQ(frameBufferMd5(kId, clip), md5s[i]) << "picture " << i;
    }
    EXPECT_EQ(TextureInfoLog::countFor(kId), 2u);
    H264Decoder_stop(kId);
}

// A clean stream into a texture bound before it starts, each picture rendered before the next
// unit: every count the host reads is exact, and nothing is dropped.
TEST(Statistics, ACleanStreamIntoABoundTextureCountsEveryUnitOnce) {
    constexpr uint8_t kId = 61;
    const FixtureClip& clip = testsupport::fixtureClip("h264_cbp_320x240");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    s_CurrentAPI.reset(new NullBackend);
    ASSERT_TRUE(start(kId, "{}"));
    ASSERT_TRUE(bind(kId, kTexture, textureDescription(clip.width, clip.height)));
    const auto tap = PictureTap::install(kId);
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(commit(kId, units[i], uint32_t(i * 3333)));
        ASSERT_TRUE(tap->waitForPictures(i + 1));
        H264Decoder_nativeRenderEventFunc()(0);
    }
    const Statistics figures = statisticsOf(kId);
    for (const char* count : {"committed", "decoded", "delivered", "uploaded"}) {
        EXPECT_EQ(figures.count(count), units.size()) << count;
    }
    for (const char* reason : {"queueFull", "waitingForKeyframe", "decodeError", "noTexture",
                               "sizeMismatch", "textureBusy"}) {
        EXPECT_EQ(figures.dropped(reason), 0u) << reason;
    }
    EXPECT_EQ(figures.count("queued"), 0u);
    EXPECT_FALSE(figures.flag("keyframeNeeded"));
    H264Decoder_stop(kId);
    s_CurrentAPI.reset();
}

// A second start neither replaces nor reconfigures the running instance.
TEST(DoubleStart, TheFirstInstanceKeepsDecodingWithItsOwnConfiguration) {
    constexpr uint8_t kId = 18;
    const FixtureClip& clip = testsupport::fixtureClip("h265_main_320x240");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    TextureInfoLog::forget(kId);
    ASSERT_TRUE(start(kId, "{\"isH265\":true}"));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, TextureInfoLog::first()));
    EXPECT_FALSE(start(kId, "{\"isH265\":false}"));
    ASSERT_TRUE(commit(kId, units[0]));
    EXPECT_TRUE(TextureInfoLog::waitForCalls(kId, 1));
    EXPECT_EQ(textsOf(kId), std::vector<std::string>{textureInfoText(320, 240)});
    H264Decoder_stop(kId);
}

// The restarted instance shares the reset session: it hears the size again and decodes anew.
TEST(Restart, TheNextInstanceUnderTheIdDecodesFromItsOwnParameterSets) {
    constexpr uint8_t kId = 19;
    TextureInfoLog::forget(kId);
    for (const char* name : {"h264_cbp_320x240", "h265_odd_642x362", "h264_tiny_16x16"}) {
        const FixtureClip& clip = testsupport::fixtureClip(name);
        const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
        ASSERT_TRUE(start(kId, configFor(clip)));
        ASSERT_TRUE(H264Decoder_registerCallback(kId, TextureInfoLog::first()));
        const auto tap = PictureTap::install(kId);
        ASSERT_TRUE(commit(kId, units[0]));
        ASSERT_TRUE(tap->waitForPictures(1)) << name;
        EXPECT_EQ(TextureInfoLog::callsFor(kId)[0].text, textureInfoText(clip.width, clip.height))
            << name;
        EXPECT_EQ(tap->pictures()[0].width, clip.width);
        H264Decoder_stop(kId);
        TextureInfoLog::forget(kId);
    }
}

// A backend that fingerprints every picture it is given to upload.
class FingerprintingBackend : public hosttest::NullBackend {
  public:
    void EndModifyTexture2(void*, int width, int height, int rowPitch, void* data) override {
        const std::string md5 = testsupport::md5Hex(
            testsupport::packRows(static_cast<const uint8_t*>(data), width, height, rowPitch));
        std::lock_guard<std::mutex> lock(mutex_);
        uploaded_.insert(md5);
        latest_ = md5;
    }

    std::set<std::string> uploaded() {
        std::lock_guard<std::mutex> lock(mutex_);
        return uploaded_;
    }
    std::string latest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return latest_;
    }

  private:
    std::mutex mutex_;
    std::set<std::string> uploaded_;
    std::string latest_;
};

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
        auto* backend = new FingerprintingBackend;
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (backend->latest() != md5s.back() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        rendering = false;
        renderThread.join();
        const uint64_t replaced = statisticsOf(kId).dropped("textureBusy");
        H264Decoder_stop(kId);
        const std::set<std::string> uploaded = backend->uploaded();
        uint64_t missing = 0;
        for (const std::string& md5 : md5s) {
            missing += uploaded.count(md5) == 0 ? 1 : 0;
        }
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
