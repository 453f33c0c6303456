// The backend for hosts rendering with OpenGL Core, OpenGL ES 3.0 or OpenGL ES 2.0. Every call
// expects the host's context to be current on the calling thread.
#pragma once

#include "GLTextureUpload.h"
#include "OpenGLHeaders.h"
#include "RenderAPI.h"

#include <optional>

class RenderAPI_OpenGLCoreES : public RenderAPI {
  public:
    explicit RenderAPI_OpenGLCoreES(UnityGfxRenderer renderer);
    // The host owns the context and tears its objects down with it, so none is deleted here.
    ~RenderAPI_OpenGLCoreES() override = default;

    void ProcessDeviceEvent(UnityGfxDeviceEventType eventType,
                            IUnityInterfaces* interfaces) override;
    bool GetUsesReverseZ() override { return false; }
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

    // How pictures are uploaded; empty before Initialize.
    const std::optional<GLTextureUploader>& textureUploader() const { return uploader; }

  private:
    void CreateResources();
    bool isCore() const { return apiType == kUnityGfxRendererOpenGLCore; }

    UnityGfxRenderer apiType;
    GLuint vertexShader = 0;
    GLuint fragmentShader = 0;
    GLuint shaderProgram = 0;
    GLuint vertexArray = 0;
    GLuint vertexBuffer = 0;
    GLint worldMatrixLocation = 0;
    GLint projMatrixLocation = 0;
    std::optional<GLTextureUploader> uploader;
};
