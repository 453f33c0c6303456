// The exported functions as a host calls them: results on known and unknown ids, start, stop
// and restart, callback registration, texts that are refused, and the construction line.
#include "HostSupport.h"
#include "PublicHeaderC.h"

#include <gtest/gtest.h>

using namespace decodertest;
using namespace hosttest;

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;

class ExportedApi : public testing::Test {
  protected:
    ~ExportedApi() override {
        for (int id = 0; id < 256; ++id) {
            H264Decoder_stop(uint8_t(id));
        }
    }
};

void expectUnknown(uint8_t id) {
    const uint8_t bytes[4] = {0, 0, 0, 1};
    const std::u16string json = utf16(textureDescription(16, 16));
    H264Decoder_stop(id);
    EXPECT_FALSE(H264Decoder_commitFrame(id, bytes, 0, 0, 4, 0));
    EXPECT_FALSE(H264Decoder_commitFrame(id, nullptr, 0, 0, 0, 0));
    EXPECT_FALSE(H264Decoder_registerCallback(id, TextureInfoLog::first()));
    EXPECT_FALSE(H264Decoder_registerCallback(id, nullptr));
    EXPECT_FALSE(H264Decoder_unregisterCallback(id));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(id, kTexture, json.c_str()));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(id, nullptr, nullptr));
}

TEST_F(ExportedApi, UnknownIdsRefuseEverything) {
    for (int id : {0, 1, 128, 254, 255}) {
        SCOPED_TRACE(id);
        expectUnknown(uint8_t(id));
    }
}

TEST_F(ExportedApi, StartStopAndRestartTheLowestAndHighestIds) {
    for (uint8_t id : {uint8_t(0), uint8_t(255)}) {
        EXPECT_TRUE(start(id, "{}"));
        EXPECT_FALSE(start(id, "{}")) << "started twice";
    }
    H264Decoder_stop(0);
    expectUnknown(0);
    EXPECT_TRUE(H264Decoder_commitFrame(255, nullptr, 0, 0, 0, 0)) << "255 must be unaffected";
    EXPECT_TRUE(start(0, "{}"));
    EXPECT_TRUE(H264Decoder_commitFrame(0, nullptr, 0, 0, 0, 0));
    H264Decoder_stop(255);
    H264Decoder_stop(255);
    expectUnknown(255);
    EXPECT_TRUE(start(255, "{\"isH265\":true}"));
}

TEST_F(ExportedApi, CommitsToAKnownIdAnswerTrueEvenWhenDropped) {
    ASSERT_TRUE(start(2, "{}"));
    const uint8_t bytes[8] = {0, 0, 0, 1, 9, 0, 0, 0};
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 77, 4, 4, 0xFFFFFFFF));
    EXPECT_TRUE(H264Decoder_commitFrame(2, nullptr, 0, 0, 0, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, nullptr, 0, 0, 16, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 0, 0, 0x80000000u, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 0, 0, 0xFFFFFFFFu, 0));
}

TEST_F(ExportedApi, CallbackRegistrationRules) {
    ASSERT_TRUE(start(3, "{}"));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3));
    EXPECT_TRUE(H264Decoder_registerCallback(3, TextureInfoLog::first()));
    EXPECT_FALSE(H264Decoder_registerCallback(3, TextureInfoLog::second()));
    EXPECT_FALSE(H264Decoder_registerCallback(3, nullptr));
    EXPECT_TRUE(H264Decoder_unregisterCallback(3));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3));
    EXPECT_TRUE(H264Decoder_registerCallback(3, nullptr));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3)) << "a null callback is no callback";
    EXPECT_TRUE(H264Decoder_registerCallback(3, TextureInfoLog::second()));
    H264Decoder_stop(3);
    ASSERT_TRUE(start(3, "{}"));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3)) << "a stop forgets the callback";
}

TEST_F(ExportedApi, TextureBindingAnswersTrueForAnyTextAndFalseForNoText) {
    ASSERT_TRUE(start(4, "{}"));
    EXPECT_TRUE(bind(4, kTexture, textureDescription(16, 8)));
    for (const std::string& text : {std::string(""), std::string("{"), std::string("[1]"),
                                    std::string("{\"format\":3}"), std::string("{\"width\":-1}")}) {
        EXPECT_TRUE(bind(4, kTexture, text)) << text;
    }
    EXPECT_TRUE(bind(4, nullptr, "not read"));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(4, kTexture, nullptr));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(4, nullptr, nullptr));
}

// A refused text changes nothing: the binding stays exactly as it was.
TEST_F(ExportedApi, ATextureTextThatIsNotUtf16IsRefused) {
    ASSERT_TRUE(start(5, "{}"));
    ASSERT_TRUE(bind(5, kTexture, textureDescription(16, 8)));
    const std::u16string loneSurrogate = u"{\"width\":32,\"height\":8}" + std::u16string(1, 0xD800);
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(5, nullptr, loneSurrogate.c_str()));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(5, kTexture, nullptr));
    const std::optional<TextureSnapshot> texture = snapshotTexture(5);
    ASSERT_TRUE(texture.has_value());
    EXPECT_TRUE(texture->bound);
    EXPECT_EQ(texture->width, 16);
    EXPECT_EQ(texture->frameBuffer.size(), 16u * 8 * 4);
}

TEST_F(ExportedApi, ANullOrIllFormedConfigurationCreatesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(H264Decoder_start(6, nullptr));
    const std::u16string loneLow = u"{\"isH265\":true" + std::u16string(1, 0xDC00) + u"}";
    EXPECT_FALSE(H264Decoder_start(6, loneLow.c_str()));
    const std::u16string highAtEnd = u"{}" + std::u16string(1, 0xDBFF);
    EXPECT_FALSE(H264Decoder_start(6, highAtEnd.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expectUnknown(6);
    EXPECT_TRUE(start(6, "{}"));
}

TEST_F(ExportedApi, StartLogsTheConfigurationTextUnchanged) {
    const std::string config =
        "{ \"isH265\" : false, \"label\": \"caf\xC3\xA9 \xF0\x9F\x8E\xA5\", \"extra\": [1, 2] }";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start(7, config));
    EXPECT_FALSE(start(7, "{\"second\":true}"));
    ASSERT_TRUE(start(8, "no json at all"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "=== H264Decoder Constructor: " + config + "\n" +
                  "=== H264Decoder Constructor: no json at all\n");
}

// A C host sees the same functions, with the same types, and calls them with its own texts.
TEST_F(ExportedApi, TheHeaderServesACHost) {
    const DecoderFunctionsSeenFromC functions = decoderFunctionsSeenFromC();
    EXPECT_EQ(functions.start, &H264Decoder_start);
    EXPECT_EQ(functions.stop, &H264Decoder_stop);
    EXPECT_EQ(functions.commitFrame, &H264Decoder_commitFrame);
    EXPECT_EQ(functions.registerCallback, &H264Decoder_registerCallback);
    EXPECT_EQ(functions.unregisterCallback, &H264Decoder_unregisterCallback);
    EXPECT_EQ(functions.setNativeTexturePointer, &H264Decoder_setNativeTexturePointer);
    EXPECT_TRUE(startFromC(11));
    EXPECT_FALSE(startFromC(11));
}

}  // namespace
