// Binding a host texture and copying decoded pictures into its frame buffer: a picture lands
// only in a texture exactly as wide as its padded rows, and nothing ever writes past the buffer.
#include "H264Decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
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

TEST_F(TextureState, ABoundTextureOfThePictureSizeReceivesEveryPicture) {
    EXPECT_FALSE(state().textureBound);
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    EXPECT_TRUE(state().textureBound);
    EXPECT_EQ(state().nativeTexture, kTexture);
    EXPECT_EQ(state().width, 8);
    EXPECT_EQ(state().height, 4);
    EXPECT_EQ(state().format, 0);
    EXPECT_FALSE(state().mipMap);

    const std::vector<uint8_t> picture = pictureBytes(32, 4);
    deliver(picture, 8, 4, 32);
    EXPECT_TRUE(frameBufferHolds(picture));
}

TEST_F(TextureState, PaddedRowsReachOnlyATextureAsWideAsThePaddedRow) {
    const std::vector<uint8_t> picture = pictureBytes(4352, 1920);
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(1080, 1920)));
    fillFrameBuffer(0);
    deliver(picture, 1080, 1920, 4352);
    EXPECT_TRUE(frameBufferFilledWith(0));

    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(1088, 1920)));
    deliver(picture, 1080, 1920, 4352);
    EXPECT_TRUE(frameBufferHolds(picture));
}

TEST_F(TextureState, PicturesOfAnotherHeightOrFormatAreSkipped) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    fillFrameBuffer(0);
    deliver(pictureBytes(32, 5), 8, 5, 32);
    deliver(pictureBytes(32, 3), 8, 3, 32);
    deliver(pictureBytes(32, 4), 8, 4, 32, 1);
    EXPECT_TRUE(frameBufferFilledWith(0));

    for (int format : {1, 2}) {
        ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4, format)));
        EXPECT_TRUE(state().textureBound);
        fillFrameBuffer(0);
        deliver(pictureBytes(32, 4), 8, 4, 32);
        EXPECT_TRUE(frameBufferFilledWith(0)) << "format " << format;
    }
}

// Rows that are not whole pixels, or geometry whose bytes exceed the frame buffer, never reach
// it (AddressSanitizer watches the copies too).
TEST_F(TextureState, GeometryThatDoesNotFitTheFrameBufferIsNeverCopied) {
    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    fillFrameBuffer(0);
    for (int bytesPerRow : {33, 34, 35, 31, -32, 0}) {
        const std::vector<uint8_t> picture = pictureBytes(40, 8);
        deliver(picture, 8, 4, bytesPerRow);
        EXPECT_TRUE(frameBufferFilledWith(0)) << "bytes per row " << bytesPerRow;
    }
    decoder.copyRenderData(nullptr, 0, 8, 4, 32, 0, 0, 0, 0);
    EXPECT_TRUE(frameBufferFilledWith(0));

    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(0, 0)));
    const std::vector<uint8_t> picture = pictureBytes(8, 1);
    deliver(picture, 0, 0, 3);
    deliver(picture, 0, 0, -3);
    EXPECT_TRUE(state().textureBound);
}

TEST_F(TextureState, NoPictureLandsBeforeATextureIsBoundOrAfterItIsUnbound) {
    const std::vector<uint8_t> picture = pictureBytes(32, 4);
    deliver(picture, 8, 4, 32);
    EXPECT_EQ(state().frameBuffers, nullptr);

    ASSERT_TRUE(decoder.setNativeTexturePointer(kTexture, description(8, 4)));
    ASSERT_TRUE(decoder.setNativeTexturePointer(nullptr, "{\"width\":16,\"format\":7}"));
    EXPECT_FALSE(state().textureBound);
    EXPECT_EQ(state().frameBuffers, nullptr);
    EXPECT_EQ(state().nativeTexture, nullptr);
    EXPECT_EQ(state().width, 8);
    EXPECT_EQ(state().height, 4);
    deliver(picture, 8, 4, 32);
    EXPECT_EQ(state().frameBuffers, nullptr);
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
