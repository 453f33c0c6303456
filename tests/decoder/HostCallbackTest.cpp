// The host callback: registration rules, the exact texture info text, and the one padded-row
// notification that the delegate bridge sends.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderDelegateHelper.h"

#include <gtest/gtest.h>

using namespace decodertest;

namespace {

constexpr uint8_t kId = 44;

class HostCallback : public testing::Test {
  protected:
    HostCallback() : decoder(kId, "{}"), helper(&decoder) { TextureInfoLog::forget(kId); }
    ~HostCallback() override { TextureInfoLog::forget(kId); }

    void deliver(int width, int height, int bytesPerRow) {
        std::vector<uint8_t> pixels(size_t(bytesPerRow) * height, 0x7f);
        helper.copyRenderBuffer(pixels.data(), 0, width, height, bytesPerRow, 0, 0, 0, 0);
    }

    H264Decoder decoder;
    H264DecoderDelegateHelper helper;
};

// A null callback is none, a second registration leaves the first callback in place, and once
// it is unregistered texts go nowhere until the next one. The text arrives zero-terminated in
// UTF-16, with the address of the instance's id.
TEST_F(HostCallback, TextsGoToTheRegisteredCallbackOnly) {
    decoder.registerCallback(nullptr);
    helper.forwardTextureInfo(1, 1);
    decoder.registerCallback(TextureInfoLog::first());
    decoder.registerCallback(TextureInfoLog::second());
    helper.forwardTextureInfo(1920, 1080);
    decoder.unregisterCallback();
    helper.forwardTextureInfo(321, 240);
    decoder.registerCallback(TextureInfoLog::second());
    helper.forwardTextureInfo(-16, 0);

    const std::vector<TextureInfoLog::Call> calls = TextureInfoLog::callsFor(kId);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text,
              "{\"width\":1920,\"height\":1080,\"format\":0,\"linear\":true,\"mipMap\":false}");
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

TEST_F(HostCallback, APaddedPictureBeforeAnyCallbackUsesUpTheNotification) {
    deliver(1080, 1920, 4352);
    ASSERT_TRUE(decoder.registerCallback(TextureInfoLog::first()));
    deliver(1080, 1920, 4352);
    EXPECT_TRUE(TextureInfoLog::callsFor(kId).empty());
}

}  // namespace
