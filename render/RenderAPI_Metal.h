// The backend for hosts rendering with Metal. Metal is never linked: the device and encoder come
// from the host's Metal interface, descriptor classes are looked up by name at run time, and
// everything else is a message send through the Objective-C runtime. Every call that sends
// messages does so inside an autorelease pool of its own.
#pragma once

#include "IUnityGraphicsMetal.h"
#include "ObjCRuntime.h"
#include "RenderAPI.h"

class RenderAPI_Metal : public RenderAPI {
  public:
    RenderAPI_Metal() = default;
    ~RenderAPI_Metal() override;

    void ProcessDeviceEvent(UnityGfxDeviceEventType eventType,
                            IUnityInterfaces* interfaces) override;
    bool GetUsesReverseZ() override { return true; }
    void DrawSimpleTriangles(const float worldMatrix[16], int triangleCount,
                             const void* vertices) override;
    void* BeginModifyTexture(void* textureHandle, int textureWidth, int textureHeight,
                             int* outRowPitch) override;
    void EndModifyTexture(void* textureHandle, int textureWidth, int textureHeight, int rowPitch,
                          void* dataPtr) override;
    void BeginModifyTexture2() override {}
    void EndModifyTexture2(void* textureHandle, int textureWidth, int textureHeight, int rowPitch,
                           void* dataPtr) override;
    void* BeginModifyVertexBuffer(void* bufferHandle, uint64_t* outBufferSize) override;
    void EndModifyVertexBuffer(void* bufferHandle) override;

  private:
    template <typename Interface>
    void UseHostInterface(const Interface& metal) {
        metalDevice = metal.MetalDevice;
        currentCommandEncoder = metal.CurrentCommandEncoder;
    }
    void CreateResources();
    void CreateBuffers(id device);
    id CreateVertexDescriptor();
    void CreatePipelineState(id device, id vertexFunction, id fragmentFunction);
    void CreateDepthStencilState(id device);

    // From the host's versioned Metal interface, or its unversioned one; null without either.
    decltype(IUnityGraphicsMetalV1::MetalDevice) metalDevice = nullptr;
    decltype(IUnityGraphicsMetalV1::CurrentCommandEncoder) currentCommandEncoder = nullptr;
    // Released by the destructor in the reverse of this order.
    objc::StrongRef vertexBuffer;
    objc::StrongRef constantBuffer;
    objc::StrongRef depthStencilState;
    objc::StrongRef pipelineState;
};
