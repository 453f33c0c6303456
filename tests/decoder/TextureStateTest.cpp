// Binding a host texture and copying decoded pictures into its frame buffer: a picture lands
// only in a texture exactly as wide as its padded rows, and nothing ever writes past the buffer.
// What the frame buffer then shows is the picture, byte for byte. The host callback that tells
// the host which texture to bind: registration rules, the exact texture info text, and the one
// padded-row notification that the delegate bridge sends.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderDelegateHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>
#include <tuple>

using namespace decodertest;

namespace {

// Stand-ins for the host's texture handles, which only a render backend dereferences.
void* const kTexture = reinterpret_cast<void*>(0x1000);
void* const kOtherTexture = reinterpret_cast<void*>(0x2000);

// A picture of `bytesPerRow` × `height` bytes, no pixel of it opaque black.
std::vector<uint8_t> pictureBytes(int bytesPerRow, int height) {
    std::vector<uint8_t> bytes(size_t(bytesPerRow) * height);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(1 + i % 251);
    }
    return bytes;
}

bool frameBufferHolds(const H264Decoder& decoder, const std::vector<uint8_t>& bytes) {
    const FrameBuffers& buffers = *decoder.texCfg.frameBuffers;
    return buffers.size() == bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), buffers.newest());
}

bool frameBufferIsBlack(const H264Decoder& decoder) {
    std::vector<uint8_t> black(decoder.texCfg.frameBuffers->size());
    for (size_t alpha = 3; alpha < black.size(); alpha += 4) {
        black[alpha] = 255;
    }
    return frameBufferHolds(decoder, black);
}

// Where a decoded picture goes: into the frame buffer only when a texture exactly as wide as its
// rows (padding included), as high, and of format 0 is bound. Any other picture is dropped for a
// reason the host reads, and nothing writes past the frame buffer (AddressSanitizer watches).
// Padded rows, and pictures before the first binding, are the plugin's Playback cases.
TEST(TextureState, APictureLandsOnlyInATextureOfItsRowWidthHeightAndFormat) {
    const struct {
        const char* rule;
        bool unbound;
        int textureWidth, textureHeight, textureFormat;
        int width, height, bytesPerRow, format;
        const char* droppedAs;  // "": neither delivered nor dropped; null: the picture lands
    } rows[] = {
        {"the picture's size", false, 8, 4, 0, 8, 4, 32, 0, nullptr},
        {"a taller picture", false, 8, 4, 0, 8, 5, 32, 0, "sizeMismatch"},
        {"a shorter picture", false, 8, 4, 0, 8, 3, 32, 0, "sizeMismatch"},
        {"a picture of format 1", false, 8, 4, 0, 8, 4, 32, 1, "sizeMismatch"},
        {"a texture of format 1", false, 8, 4, 1, 8, 4, 32, 0, "sizeMismatch"},
        {"a texture of format 2", false, 8, 4, 2, 8, 4, 32, 0, "sizeMismatch"},
        {"rows of 33 bytes", false, 8, 4, 0, 8, 4, 33, 0, "sizeMismatch"},
        {"rows of 31 bytes", false, 8, 4, 0, 8, 4, 31, 0, "sizeMismatch"},
        {"rows of -32 bytes", false, 8, 4, 0, 8, 4, -32, 0, "sizeMismatch"},
        {"rows of 0 bytes", false, 8, 4, 0, 8, 4, 0, 0, "sizeMismatch"},
        {"rows of 3 bytes into an empty texture", false, 0, 0, 0, 0, 0, 3, 0, "sizeMismatch"},
        {"the texture unbound", true, 8, 4, 0, 8, 4, 32, 0, "noTexture"},
        {"a picture without pixels", false, 8, 4, 0, 8, 4, 32, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        H264Decoder decoder(44, "{}");
        ASSERT_TRUE(decoder.setNativeTexturePointer(
            kTexture, textureDescription(row.textureWidth, row.textureHeight, row.textureFormat)));
        if (row.unbound) {
            ASSERT_TRUE(decoder.setNativeTexturePointer(nullptr, "{\"width\":16,\"format\":7}"));
        }
        const bool hasPixels = !row.droppedAs || *row.droppedAs;
        const std::vector<uint8_t> picture =
            pictureBytes(std::max(std::abs(row.bytesPerRow), 32), std::max(row.height, 1));
        decoder.copyRenderData(hasPixels ? picture.data() : nullptr, row.format, row.width,
                               row.height, row.bytesPerRow, 0, 0, 0, 0);
        if (!row.unbound) {
            EXPECT_TRUE(row.droppedAs ? frameBufferIsBlack(decoder)
                                      : frameBufferHolds(decoder, picture));
        }
        const Statistics figures(decoder.statisticsJson());
        EXPECT_EQ(figures.count("delivered"), row.droppedAs ? 0u : 1u);
        for (const char* reason : {"noTexture", "sizeMismatch"}) {
            const bool expected = row.droppedAs && std::string(row.droppedAs) == reason;
            EXPECT_EQ(figures.dropped(reason), expected ? 1u : 0u) << reason;
        }
    }
}

// How a texture description is read. A description the instance cannot hold (a format above 2,
// a size whose frame buffer it cannot address) changes nothing, not even the handle; any other
// text binds, what it does not say reading as 0 and false, and the first of repeated keys counts.
TEST(TextureState, DescriptionsBindWhatTheySayOrChangeNothing) {
    using Bound = std::tuple<int, int, int, bool>;  // width, height, format, mipMap
    const auto expectBinding = [](const std::string& text, std::optional<Bound> bound) {
        SCOPED_TRACE(text);
        H264Decoder decoder(43, "{}");
        ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, textureDescription(8, 4)));
        const std::vector<uint8_t> picture = pictureBytes(32, 4);
        decoder.copyRenderData(picture.data(), 0, 8, 4, 32, 0, 0, 0, 0);
        const FrameBuffers* const before = decoder.texCfg.frameBuffers.get();

        EXPECT_TRUE(decoder.setNativeTexturePointer(kOtherTexture, text));
        const H264Decoder::ITexCfg& state = decoder.texCfg;
        EXPECT_TRUE(state.textureBound);
        ASSERT_NE(state.frameBuffers, nullptr);
        EXPECT_EQ(state.nativeTexture, bound ? kOtherTexture : kTexture);
        EXPECT_EQ(state.frameBuffers.get() == before, !bound);
        EXPECT_EQ(std::make_tuple(state.width, state.height, state.format, state.mipMap),
                  bound.value_or(Bound{8, 4, 0, false}));
        EXPECT_TRUE(bound ? frameBufferIsBlack(decoder) : frameBufferHolds(decoder, picture));
    };
    expectBinding(textureDescription(16, 2, 2), Bound{16, 2, 2, false});
    expectBinding(textureDescription(8, 4, -1), Bound{8, 4, -1, false});
    expectBinding("{\"width\":8,\"width\":2}", Bound{8, 0, 0, false});
    expectBinding("{\"mipMap\":true}", Bound{0, 0, 0, true});
    expectBinding("{\"mipMap\":true,\"mipMap\":false}", Bound{0, 0, 0, true});
    for (const char* empty : {"{}", "", "{\"width\":8,\"height\":4,}",
                              "{\"width\":8,\"height\":4} x", "/*c*/{\"width\":8}", "[8,4]",
                              "\"text\"", "{\"Width\":8}", "{\"width\":8.5,\"height\":\"4\"}",
                              "{\"mipMap\":1}", "{\"mipMap\":\"true\"}", "{\"MipMap\":true}"}) {
        expectBinding(empty, Bound{0, 0, 0, false});
    }
    for (const std::string& refused :
         {textureDescription(16, 2, 3),
          std::string("{\"width\":16,\"height\":2,\"mipMap\":true,\"format\":99}"),
          textureDescription(-8, 4), textureDescription(8, -4), textureDescription(-8, -4),
          textureDescription(65536, 8192), textureDescription(46341, 46341),
          textureDescription(536870912, 1), std::string("{\"width\":4294967304,\"height\":1}"),
          std::string("{\"width\":8,\"height\":4,\"format\":-4294967296}")}) {
        expectBinding(refused, std::nullopt);
    }
}

// The texture lock is only ever held for O(1) work, so a picture that meets it waits for it and
// lands, rather than being lost.
TEST(TextureState, APictureThatMeetsAHeldTextureLockWaitsForItAndLands) {
    H264Decoder decoder(43, "{}");
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, textureDescription(8, 4)));
    const std::vector<uint8_t> picture = pictureBytes(32, 4);
    std::future<void> delivered;
    {
        std::lock_guard<std::mutex> texLock(*decoder.texCfg.texMutex);
        delivered = std::async(std::launch::async, [&] {
            decoder.copyRenderData(picture.data(), 0, 8, 4, 32, 0, 0, 0, 0);
        });
        EXPECT_EQ(delivered.wait_for(50ms), std::future_status::timeout)
            << "the picture went past a held texture lock";
    }
    delivered.get();
    EXPECT_TRUE(frameBufferHolds(decoder, picture));
}

constexpr uint8_t kId = 44;

class HostCallback : public testing::Test {
  protected:
    HostCallback() : decoder(kId, "{}"), helper(&decoder) { TextureInfoLog::forget(kId); }
    ~HostCallback() override { TextureInfoLog::forget(kId); }

    void deliver(int width, int height, int bytesPerRow) {
        std::vector<uint8_t> picture = pictureBytes(bytesPerRow, height);
        helper.copyRenderBuffer(picture.data(), 0, width, height, bytesPerRow, 0, 0, 0, 0);
    }

    H264Decoder decoder;
    H264DecoderDelegateHelper helper;
};

// A null callback is none, a second registration leaves the first callback in place, and once
// it is unregistered texts go nowhere until the next one. A padded picture's notification that
// went nowhere is not sent again. The text arrives zero-terminated in UTF-16, with the address of
// the instance's id.
TEST_F(HostCallback, TextsGoToTheRegisteredCallbackOnly) {
    decoder.registerCallback(nullptr);
    helper.forwardTextureInfo(1, 1);
    deliver(1080, 1920, 4352);
    decoder.registerCallback(TextureInfoLog::first());
    deliver(1080, 1920, 4352);
    decoder.registerCallback(TextureInfoLog::second());
    helper.forwardTextureInfo(1920, 1080);
    decoder.unregisterCallback();
    helper.forwardTextureInfo(321, 240);
    decoder.registerCallback(TextureInfoLog::second());
    helper.forwardTextureInfo(-16, 0);

    const std::vector<TextureInfoLog::Call> calls = TextureInfoLog::callsFor(kId);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, textureInfoText(1920, 1080));
    EXPECT_EQ(calls[1].text, textureInfoText(-16, 0));
    EXPECT_EQ(calls[0].callback, 1);
    EXPECT_EQ(calls[1].callback, 2);
    EXPECT_EQ(calls[0].idValue, kId);
    EXPECT_EQ(calls[0].idAddress, calls[1].idAddress);
}

TEST_F(HostCallback, TheFirstPaddedPictureAloneAnnouncesThePaddedWidth) {
    ASSERT_TRUE(decoder.registerCallback(TextureInfoLog::first()));
    deliver(320, 240, 1280);
    EXPECT_TRUE(TextureInfoLog::callsFor(kId).empty());
    deliver(1080, 1920, 4352);
    deliver(1080, 1920, 4352);
    deliver(642, 362, 2624);
    const std::vector<TextureInfoLog::Call> calls = TextureInfoLog::callsFor(kId);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, textureInfoText(1088, 1920));
}

}  // namespace
