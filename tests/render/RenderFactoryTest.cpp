// The backend factory: which renderer gets which backend, and that making one creates nothing on
// the graphics device (no context is current in this program, so a single OpenGL call from a
// constructor would fail it).
#include "GLTextureUpload.h"
#include "IUnityGraphicsMetal.h"
#include "RenderAPI.h"
#include "RenderAPI_Metal.h"
#include "RenderAPI_OpenGLCoreES.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <memory>

namespace {

// The GUIDs and the slots the backends and the plugin call through are the host's; the fakes
// of the other tests use these same declarations, so only these checks would notice a slip.
template <typename Interface>
constexpr bool hasGuid(unsigned long long high, unsigned long long low) {
    return UnityInterfaceTraits<Interface>::guid().m_GUIDHigh == high &&
           UnityInterfaceTraits<Interface>::guid().m_GUIDLow == low;
}
static_assert(hasGuid<IUnityGraphics>(0x7CBA0A9CA4DDB544ULL, 0x8C5AD4926EB17B11ULL));
static_assert(hasGuid<IUnityGraphicsMetal>(0x992C8EAEA95811E5ULL, 0x9A62C4B5B9876117ULL));
static_assert(hasGuid<IUnityGraphicsMetalV1>(0x29F8F3D03833465EULL, 0x92138551C15D823DULL));
static_assert(offsetof(IUnityInterfaces, GetInterface) == 0);
static_assert(offsetof(IUnityGraphics, GetRenderer) == 0 &&
              offsetof(IUnityGraphics, RegisterDeviceEventCallback) == sizeof(void*) &&
              offsetof(IUnityGraphics, UnregisterDeviceEventCallback) == 2 * sizeof(void*));
static_assert(offsetof(IUnityGraphicsMetal, MetalDevice) == sizeof(void*));
static_assert(offsetof(IUnityGraphicsMetal, CurrentCommandEncoder) == 3 * sizeof(void*));
static_assert(offsetof(IUnityGraphicsMetalV1, MetalDevice) == sizeof(void*));
static_assert(offsetof(IUnityGraphicsMetalV1, CurrentCommandEncoder) == 3 * sizeof(void*));
static_assert(kUnityGfxRendererOpenGLES20 == 8 && kUnityGfxRendererOpenGLES30 == 11 &&
              kUnityGfxRendererMetal == 16 && kUnityGfxRendererOpenGLCore == 17);
static_assert(kUnityGfxDeviceEventInitialize == 0 && kUnityGfxDeviceEventShutdown == 1);

// Each renderer with a backend gets a new one on every call; every other value gets none. Every
// backend hands out texture buffers of packed rows, width * 4 bytes, which EndModifyTexture frees
// (the sanitizer builds report a leak or a short buffer), and no buffer for sizes beyond 32-bit
// arithmetic instead of a short one.
TEST(RenderFactory, GivesEachRendererABackendOfItsOwn) {
    const struct {
        UnityGfxRenderer renderer;
        bool openGL;
        bool reverseZ;
    } rows[] = {{kUnityGfxRendererOpenGLES20, true, false},
                {kUnityGfxRendererOpenGLES30, true, false},
                {kUnityGfxRendererOpenGLCore, true, false},
                {kUnityGfxRendererMetal, false, true}};
    for (const auto& row : rows) {
        const std::unique_ptr<RenderAPI> backend(CreateRenderAPI(row.renderer));
        ASSERT_NE(backend, nullptr) << row.renderer;
        EXPECT_NE(std::unique_ptr<RenderAPI>(CreateRenderAPI(row.renderer)), backend);
        EXPECT_EQ(backend->GetUsesReverseZ(), row.reverseZ);
        const auto* openGL = dynamic_cast<const RenderAPI_OpenGLCoreES*>(backend.get());
        EXPECT_EQ(dynamic_cast<const RenderAPI_Metal*>(backend.get()) != nullptr, !row.openGL);
        ASSERT_EQ(openGL != nullptr, row.openGL) << row.renderer;
        if (openGL != nullptr) {
            EXPECT_EQ(openGL->renderer(), row.renderer);
            EXPECT_FALSE(openGL->textureUploader().has_value()) << "nothing before Initialize";
        }

        int rowPitch = 0;
        auto* pixels = static_cast<uint8_t*>(backend->BeginModifyTexture(nullptr, 2, 3, &rowPitch));
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(rowPitch, 8);
        pixels[23] = 0xFF;
        backend->EndModifyTexture(nullptr, 2, 3, rowPitch, pixels);
        for (const auto& [width, height] : {std::pair{40000, 40000}, {-2, 3}, {2, -3}}) {
            EXPECT_EQ(backend->BeginModifyTexture(nullptr, width, height, &rowPitch), nullptr);
        }
    }
    for (const int value :
         {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, 18, 19, 21, 100, INT_MAX}) {
        EXPECT_EQ(CreateRenderAPI(UnityGfxRenderer(value)), nullptr) << value;
    }
}

// OpenGL Core takes BGRA natively; OpenGL ES only with a BGRA8888 extension, and swizzles on the
// CPU otherwise; row lengths exist from ES 3.0 on or with EXT_unpack_subimage. Mesa's ES contexts
// offer both extensions, so the rows without them are checked here only.
TEST(OpenGLUploadChoice, FollowsTheApiAndItsExtensions) {
    using Transfer = GLPixelTransfer;
    const struct {
        UnityGfxRenderer renderer;
        GLExtensionSupport extensions;
        Transfer transfer;
        bool rowLength, unpackBuffer, swapBytes;
    } rows[] = {
        {kUnityGfxRendererOpenGLCore, {}, Transfer::BgraReversed, true, true, true},
        {kUnityGfxRendererOpenGLES30, {true, false}, Transfer::BgraExt, true, true, false},
        {kUnityGfxRendererOpenGLES30, {}, Transfer::SwizzleToRgba, true, true, false},
        {kUnityGfxRendererOpenGLES20, {}, Transfer::SwizzleToRgba, false, false, false},
        {kUnityGfxRendererOpenGLES20, {false, true}, Transfer::SwizzleToRgba, true, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        const GLUploadCapabilities chosen = ChooseUploadCapabilities(row.renderer, row.extensions);
        EXPECT_EQ(chosen.transfer, row.transfer);
        EXPECT_EQ(chosen.unpackRowLength, row.rowLength);
        EXPECT_EQ(chosen.pixelUnpackBuffer, row.unpackBuffer);
        EXPECT_EQ(chosen.unpackSwapBytes, row.swapBytes);
    }
}

}  // namespace
