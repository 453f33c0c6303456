// Binding a host texture and copying decoded pictures into its frame buffer: a picture lands
// only in a texture exactly as wide as its padded rows, and nothing ever writes past the buffer.
// What the frame buffer then shows is the picture, byte for byte.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;
int otherHandle = 0;
void* const kOtherTexture = &otherHandle;

// A picture of `bytesPerRow` × `height` bytes, every byte different from the frame buffer's fill.
std::vector<uint8_t> pictureBytes(int bytesPerRow, int height) {
    std::vector<uint8_t> bytes(size_t(bytesPerRow) * height);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(1 + i % 251);
    }
    return bytes;
}

class TextureState : public testing::Test {
  protected:
    TextureState() : decoder(43, "{}") {}

    H264Decoder::ITexCfg& state() { return decoder.texCfg; }

    std::string description(int width, int height, int format = 0) {
        return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
               ",\"mipMap\":false,\"format\":" + std::to_string(format) + "}";
    }

    void fillFrameBuffer(uint8_t value) {
        std::memset(const_cast<uint8_t*>(state().frameBuffers->newest()), value, frameBufferSize());
    }
    size_t frameBufferSize() { return size_t(state().width) * state().height * 4; }
    bool frameBufferHolds(const std::vector<uint8_t>& bytes) {
        return bytes.size() == frameBufferSize() &&
               std::memcmp(state().frameBuffers->newest(), bytes.data(), bytes.size()) == 0;
    }
    bool frameBufferFilledWith(uint8_t value) {
        const uint8_t* buffer = state().frameBuffers->newest();
        for (size_t i = 0; i < frameBufferSize(); ++i) {
            if (buffer[i] != value) {
                return false;
            }
        }
        return true;
    }
    void deliver(const std::vector<uint8_t>& bytes, int width, int height, int bytesPerRow,
                 int format = 0) {
        decoder.copyRenderData(bytes.data(), format, width, height, bytesPerRow, 0, 0, 0, 0);
    }

    H264Decoder decoder;
};

enum class Binding { None, Bound, Unbound };

// Where a decoded picture goes: into the frame buffer only when a texture exactly as wide as its
// rows (padding included), as high, and of format 0 is bound. Any other picture is dropped for a
// reason the host reads, and nothing writes past the frame buffer (AddressSanitizer watches).
TEST_F(TextureState, APictureLandsOnlyInATextureOfItsRowWidthHeightAndFormat) {
    const struct {
        const char* rule;
        Binding binding;
        int textureWidth, textureHeight, textureFormat;
        int width, height, bytesPerRow, format;
        const char* droppedAs;  // null: the picture lands
    } rows[] = {
        {"the picture's size", Binding::Bound, 8, 4, 0, 8, 4, 32, 0, nullptr},
        {"padded rows, texture of the padded width", Binding::Bound, 1088, 1920, 0, 1080, 1920,
         4352, 0, nullptr},
        {"padded rows, texture of the visible width", Binding::Bound, 1080, 1920, 0, 1080, 1920,
         4352, 0, "sizeMismatch"},
        {"a taller picture", Binding::Bound, 8, 4, 0, 8, 5, 32, 0, "sizeMismatch"},
        {"a shorter picture", Binding::Bound, 8, 4, 0, 8, 3, 32, 0, "sizeMismatch"},
        {"a picture of format 1", Binding::Bound, 8, 4, 0, 8, 4, 32, 1, "sizeMismatch"},
        {"a texture of format 1", Binding::Bound, 8, 4, 1, 8, 4, 32, 0, "sizeMismatch"},
        {"a texture of format 2", Binding::Bound, 8, 4, 2, 8, 4, 32, 0, "sizeMismatch"},
        {"rows of 33 bytes", Binding::Bound, 8, 4, 0, 8, 4, 33, 0, "sizeMismatch"},
        {"rows of 31 bytes", Binding::Bound, 8, 4, 0, 8, 4, 31, 0, "sizeMismatch"},
        {"rows of -32 bytes", Binding::Bound, 8, 4, 0, 8, 4, -32, 0, "sizeMismatch"},
        {"rows of 0 bytes", Binding::Bound, 8, 4, 0, 8, 4, 0, 0, "sizeMismatch"},
        {"rows of 3 bytes into an empty texture", Binding::Bound, 0, 0, 0, 0, 0, 3, 0,
         "sizeMismatch"},
        {"no texture bound yet", Binding::None, 8, 4, 0, 8, 4, 32, 0, "noTexture"},
        {"the texture unbound", Binding::Unbound, 8, 4, 0, 8, 4, 32, 0, "noTexture"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        H264Decoder fresh(44, "{}");
        if (row.binding != Binding::None) {
            ASSERT_TRUE(fresh.setNativeTexturePointer(
                kTexture, description(row.textureWidth, row.textureHeight, row.textureFormat)));
        }
        if (row.binding == Binding::Unbound) {
            ASSERT_TRUE(fresh.setNativeTexturePointer(nullptr, "{\"width\":16,\"format\":7}"));
        }
        const std::vector<uint8_t> picture =
            pictureBytes(std::max(std::abs(row.bytesPerRow), 32), std::max(row.height, 1));
        fresh.copyRenderData(picture.data(), row.format, row.width, row.height, row.bytesPerRow, 0,
                             0, 0, 0);
        if (!row.droppedAs) {
            const FrameBuffers& buffers = *fresh.texCfg.frameBuffers;
            ASSERT_EQ(buffers.size(), picture.size());
            EXPECT_EQ(std::memcmp(buffers.newest(), picture.data(), picture.size()), 0);
        }
        const decodertest::Statistics figures(fresh.statisticsJson());
        EXPECT_EQ(figures.count("delivered"), row.droppedAs ? 0u : 1u);
        for (const char* reason : {"noTexture", "sizeMismatch"}) {
            const bool expected = row.droppedAs != nullptr && std::string(row.droppedAs) == reason;
            EXPECT_EQ(figures.dropped(reason), expected ? 1u : 0u) << reason;
        }
    }
}

TEST_F(TextureState, APictureWithoutPixelsIsNeitherCopiedNorCounted) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    fillFrameBuffer(0);
    decoder.copyRenderData(nullptr, 0, 8, 4, 32, 0, 0, 0, 0);
    EXPECT_TRUE(frameBufferFilledWith(0));
    EXPECT_EQ(decodertest::Statistics(decoder.statisticsJson()).count("delivered"), 0u);
}

TEST_F(TextureState, BindingAgainReplacesTheHandleAndTheFrameBuffer) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    deliver(pictureBytes(32, 4), 8, 4, 32);
    ASSERT_TRUE(decoder.setNativeTexturePointer(kOtherTexture, description(8, 4)));
    EXPECT_EQ(state().nativeTexture, kOtherTexture);
    EXPECT_TRUE(state().textureBound);
    fillFrameBuffer(9);
    deliver(pictureBytes(32, 4), 8, 4, 32);
    EXPECT_TRUE(frameBufferHolds(pictureBytes(32, 4)));
}

TEST_F(TextureState, MissingOrMalformedDescriptionsBindAnEmptyTexture) {
    for (const std::string& text :
         {std::string("{}"), std::string(""), std::string("{\"width\":8,\"height\":4,}"),
          std::string("{\"width\":8,\"height\":4} x"), std::string("/*c*/{\"width\":8}"),
          std::string("[8,4]"), std::string("\"text\""), std::string("{\"Width\":8}"),
          std::string("{\"width\":8.5,\"height\":\"4\"}")}) {
        ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, text)) << text;
        EXPECT_TRUE(state().textureBound) << text;
        EXPECT_NE(state().frameBuffers, nullptr) << text;
        EXPECT_EQ(state().width, 0) << text;
        EXPECT_EQ(state().height, 0) << text;
        EXPECT_EQ(state().format, 0) << text;
    }
}

TEST_F(TextureState, OnlyTheLiteralTrueSetsMipMapAndTheFirstKeyCounts) {
    const std::pair<std::string, bool> cases[] = {
        {"{\"mipMap\":true}", true},      {"{\"mipMap\":1}", false},
        {"{\"mipMap\":\"true\"}", false}, {"{\"mipMap\":true,\"mipMap\":false}", true},
        {"{\"MipMap\":true}", false},
    };
    for (const auto& [text, mipMap] : cases) {
        ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, text));
        EXPECT_EQ(state().mipMap, mipMap) << text;
    }
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, "{\"width\":8,\"width\":2}"));
    EXPECT_EQ(state().width, 8);
}

TEST_F(TextureState, FormatsAboveTwoOrDescriptionsItCannotHoldChangeNothing) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    const std::vector<uint8_t> picture = pictureBytes(32, 4);
    deliver(picture, 8, 4, 32);
    const FrameBuffers* buffers = state().frameBuffers.get();

    for (const std::string& text :
         {description(16, 2, 3),
          std::string("{\"width\":16,\"height\":2,\"mipMap\":true,\"format\":99}"),
          description(-8, 4), description(8, -4), description(-8, -4), description(65536, 8192),
          description(46341, 46341), description(536870912, 1),
          std::string("{\"width\":4294967304,\"height\":1}"),
          std::string("{\"width\":8,\"height\":4,\"format\":-4294967296}")}) {
        EXPECT_TRUE(decoder.setNativeTexturePointer(kOtherTexture, text)) << text;
        EXPECT_TRUE(state().textureBound) << text;
        EXPECT_EQ(state().nativeTexture, kTexture) << text;
        EXPECT_EQ(state().frameBuffers.get(), buffers) << text;
        EXPECT_EQ(state().width, 8) << text;
        EXPECT_EQ(state().height, 4) << text;
        EXPECT_FALSE(state().mipMap) << text;
        EXPECT_EQ(state().format, 0) << text;
        EXPECT_TRUE(frameBufferHolds(picture)) << text;
    }
}

TEST_F(TextureState, NegativeFormatsBind) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4, -1)));
    EXPECT_TRUE(state().textureBound);
    EXPECT_EQ(state().format, -1);
}

// The copy only tries the lock: a picture that meets a binding in progress is skipped at once.
// The texture lock is only ever held for O(1) work, so a picture that meets it waits for it and
// lands, rather than being lost.
TEST_F(TextureState, APictureThatMeetsAHeldTextureLockWaitsForItAndLands) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    std::future<void> delivered;
    {
        std::lock_guard<std::mutex> texLock(*state().texMutex);
        delivered = std::async(std::launch::async, [&] { deliver(pictureBytes(32, 4), 8, 4, 32); });
        EXPECT_EQ(delivered.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
            << "the picture went past a held texture lock";
    }
    delivered.get();
    EXPECT_TRUE(frameBufferHolds(pictureBytes(32, 4)));
}

}  // namespace
