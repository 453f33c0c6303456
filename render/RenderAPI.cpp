#include "RenderAPI.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

RenderAPI* CreateRenderAPI(UnityGfxRenderer apiType) {
    switch (apiType) {
        case kUnityGfxRendererOpenGLES20:
        case kUnityGfxRendererOpenGLES30:
        case kUnityGfxRendererOpenGLCore:
            return CreateRenderAPI_OpenGLCoreES(apiType);
        case kUnityGfxRendererMetal:
            return CreateRenderAPI_Metal();
    }
    return nullptr;
}

void* AllocateTextureBuffer(int textureWidth, int textureHeight, int* outRowPitch) {
    const int64_t rowPitch = int64_t{textureWidth} * 4;
    const int64_t size = rowPitch * textureHeight;
    if (outRowPitch != nullptr) {
        *outRowPitch = static_cast<int>(rowPitch);
    }
    // Sizes that do not fit the host's 32-bit arithmetic get no buffer rather than a short one.
    if (textureWidth < 0 || textureHeight < 0 || size > std::numeric_limits<int32_t>::max()) {
        return nullptr;
    }
    return new (std::nothrow) uint8_t[static_cast<std::size_t>(size)];
}

void FreeTextureBuffer(void* dataPtr) {
    delete[] static_cast<uint8_t*>(dataPtr);
}
