// The graphics backend through which the plugin uploads decoded pictures into the host's native
// textures. One backend exists per host graphics device, made for the host's renderer by
// CreateRenderAPI. All calls come from the host's render thread with its device current.
#pragma once

#include "IUnityGraphics.h"

#include <cstdint>

class RenderAPI {
  public:
    virtual ~RenderAPI() = default;

    // Initialize creates the backend's graphics resources (never the constructor); every other
    // event is ignored. A backend that cannot reach the host interface it needs stays inert.
    virtual void ProcessDeviceEvent(UnityGfxDeviceEventType eventType,
                                    IUnityInterfaces* interfaces) = 0;

    virtual bool GetUsesReverseZ() = 0;

    // Draws triangleCount triangles (at most 21) of 48 bytes each: per vertex a float3 position
    // and an RGBA8 colour, transformed by the column-major worldMatrix; depth-tested, not
    // depth-written, no culling, no blending.
    virtual void DrawSimpleTriangles(const float worldMatrix[16], int triangleCount,
                                     const void* vertices) = 0;

    // Returns a new[] buffer of width * 4 * height bytes for EndModifyTexture, which frees it.
    virtual void* BeginModifyTexture(void* textureHandle, int textureWidth, int textureHeight,
                                     int* outRowPitch) = 0;
    virtual void EndModifyTexture(void* textureHandle, int textureWidth, int textureHeight,
                                  int rowPitch, void* dataPtr) = 0;

    // Replaces level 0 of the texture with BGRA pixels whose rows are rowPitch bytes apart; the
    // caller keeps ownership of dataPtr.
    virtual void BeginModifyTexture2() = 0;
    virtual void EndModifyTexture2(void* textureHandle, int textureWidth, int textureHeight,
                                   int rowPitch, void* dataPtr) = 0;

    virtual void* BeginModifyVertexBuffer(void* bufferHandle, uint64_t* outBufferSize) = 0;
    virtual void EndModifyVertexBuffer(void* bufferHandle) = 0;
};

// A new backend for the renderer, owned by the caller; null for renderers without a backend.
// Construction creates no graphics resources.
RenderAPI* CreateRenderAPI(UnityGfxRenderer apiType);
RenderAPI* CreateRenderAPI_Metal();
RenderAPI* CreateRenderAPI_OpenGLCoreES(UnityGfxRenderer apiType);

// The pixel buffer of BeginModifyTexture, shared by every backend.
void* AllocateTextureBuffer(int textureWidth, int textureHeight, int* outRowPitch);
void FreeTextureBuffer(void* dataPtr);
