// The backend factory: which renderer gets which backend, and that making one creates nothing
// on the graphics device (no context is current in this program, so a single OpenGL call from
// a constructor would fail it).
#include "GLTextureUpload.h"
#include "RenderAPI.h"
#include "RenderAPI_Metal.h"
#include "RenderAPI_OpenGLCoreES.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

namespace {

TEST(RenderFactory, GivesOpenGLBackendsThatKeepTheirRenderer) {
    for (const UnityGfxRenderer renderer :
         {kUnityGfxRendererOpenGLES20, kUnityGfxRendererOpenGLES30, kUnityGfxRendererOpenGLCore}) {
        const std::unique_ptr<RenderAPI> backend(CreateRenderAPI(renderer));
        const auto* openGL = dynamic_cast<const RenderAPI_OpenGLCoreES*>(backend.get());
        ASSERT_NE(openGL, nullptr) << renderer;
        EXPECT_EQ(openGL->renderer(), renderer);
        EXPECT_FALSE(openGL->textureUploader().has_value()) << "nothing before Initialize";
        EXPECT_FALSE(const_cast<RenderAPI_OpenGLCoreES*>(openGL)->GetUsesReverseZ());
    }
}

TEST(RenderFactory, GivesAMetalBackendForMetal) {
    const std::unique_ptr<RenderAPI> backend(CreateRenderAPI(kUnityGfxRendererMetal));
    EXPECT_NE(dynamic_cast<RenderAPI_Metal*>(backend.get()), nullptr);
}

TEST(RenderFactory, GivesNothingForEveryOtherRenderer) {
    for (const int value :
         {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, 18, 19, 21, 100, INT_MAX}) {
        EXPECT_EQ(CreateRenderAPI(UnityGfxRenderer(value)), nullptr) << value;
    }
}

TEST(RenderFactory, MakesANewBackendOnEveryCall) {
    for (const UnityGfxRenderer renderer : {kUnityGfxRendererMetal, kUnityGfxRendererOpenGLCore}) {
        const std::unique_ptr<RenderAPI> first(CreateRenderAPI(renderer));
        const std::unique_ptr<RenderAPI> second(CreateRenderAPI(renderer));
        EXPECT_NE(first, nullptr);
        EXPECT_NE(first, second);
    }
}

// Every backend hands out packed rows of width * 4 bytes; sizes beyond 32-bit arithmetic get no
// buffer instead of a short one.
TEST(RenderFactory, EveryBackendAllocatesPackedTextureBuffers) {
    for (const UnityGfxRenderer renderer : {kUnityGfxRendererMetal, kUnityGfxRendererOpenGLCore}) {
        const std::unique_ptr<RenderAPI> backend(CreateRenderAPI(renderer));
        int rowPitch = 0;
        auto* pixels = static_cast<uint8_t*>(backend->BeginModifyTexture(nullptr, 2, 3, &rowPitch));
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(rowPitch, 8);
        pixels[23] = 0xFF;  // the last byte of 24: the sanitizer builds catch a short buffer
        FreeTextureBuffer(pixels);

        EXPECT_EQ(backend->BeginModifyTexture(nullptr, 40000, 40000, &rowPitch), nullptr);
        EXPECT_EQ(backend->BeginModifyTexture(nullptr, -2, 3, &rowPitch), nullptr);
    }
}

// OpenGL Core takes BGRA natively; OpenGL ES only with a BGRA8888 extension, and swizzles on the
// CPU otherwise; row lengths exist from ES 3.0 on or with EXT_unpack_subimage.
TEST(OpenGLUploadChoice, FollowsTheApiAndItsExtensions) {
    const GLUploadCapabilities core = ChooseUploadCapabilities(kUnityGfxRendererOpenGLCore, {});
    EXPECT_EQ(core.transfer, GLPixelTransfer::BgraReversed);
    EXPECT_TRUE(core.unpackRowLength && core.pixelUnpackBuffer && core.unpackSwapBytes);

    const GLUploadCapabilities es3 =
        ChooseUploadCapabilities(kUnityGfxRendererOpenGLES30, {true, false});
    EXPECT_EQ(es3.transfer, GLPixelTransfer::BgraExt);
    EXPECT_TRUE(es3.unpackRowLength && es3.pixelUnpackBuffer);
    EXPECT_FALSE(es3.unpackSwapBytes);

    const GLUploadCapabilities es2 = ChooseUploadCapabilities(kUnityGfxRendererOpenGLES20, {});
    EXPECT_EQ(es2.transfer, GLPixelTransfer::SwizzleToRgba);
    EXPECT_FALSE(es2.unpackRowLength || es2.pixelUnpackBuffer || es2.unpackSwapBytes);
    EXPECT_TRUE(
        ChooseUploadCapabilities(kUnityGfxRendererOpenGLES20, {false, true}).unpackRowLength);
}

}  // namespace
