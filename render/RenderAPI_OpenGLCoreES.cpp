#include "RenderAPI_OpenGLCoreES.h"

#include <cstdint>

namespace {

constexpr int kVertexBufferSize = 1024;
constexpr int kVertexSize = 16;
constexpr int kTriangleSize = 3 * kVertexSize;
constexpr int kMaxTriangles = kVertexBufferSize / kTriangleSize;

const char kVertexShaderCore[] =
    "#version 150\n"
    "in highp vec3 pos;\n"
    "in lowp vec4 color;\n"
    "\n"
    "out lowp vec4 ocolor;\n"
    "\n"
    "uniform highp mat4 worldMatrix;\n"
    "uniform highp mat4 projMatrix;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tgl_Position = (projMatrix * worldMatrix) * vec4(pos,1);\n"
    "\tocolor = color;\n"
    "}\n";
const char kFragmentShaderCore[] =
    "#version 150\n"
    "out lowp vec4 fragColor;\n"
    "in lowp vec4 ocolor;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tfragColor = ocolor;\n"
    "}\n";
const char kVertexShaderEs3[] =
    "#version 300 es\n"
    "in highp vec3 pos;\n"
    "in lowp vec4 color;\n"
    "\n"
    "out lowp vec4 ocolor;\n"
    "\n"
    "uniform highp mat4 worldMatrix;\n"
    "uniform highp mat4 projMatrix;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tgl_Position = (projMatrix * worldMatrix) * vec4(pos,1);\n"
    "\tocolor = color;\n"
    "}\n";
const char kFragmentShaderEs3[] =
    "#version 300 es\n"
    "out lowp vec4 fragColor;\n"
    "in lowp vec4 ocolor;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tfragColor = ocolor;\n"
    "}\n";
const char kVertexShaderEs2[] =
    "\n"
    "attribute highp vec3 pos;\n"
    "attribute lowp vec4 color;\n"
    "\n"
    "varying lowp vec4 ocolor;\n"
    "\n"
    "uniform highp mat4 worldMatrix;\n"
    "uniform highp mat4 projMatrix;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tgl_Position = (projMatrix * worldMatrix) * vec4(pos,1);\n"
    "\tocolor = color;\n"
    "}\n";
const char kFragmentShaderEs2[] =
    "\n"
    "\n"
    "varying lowp vec4 ocolor;\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tgl_FragColor = ocolor;\n"
    "}\n";

// Maps depth 0..1 to OpenGL's -1..1 and leaves x, y and w alone (column-major).
const float kProjectionMatrix[16] = {
    1, 0, 0,  0,  //
    0, 1, 0,  0,  //
    0, 0, 2,  0,  //
    0, 0, -1, 1,
};

GLuint compileShader(GLenum stage, const char* text) {
    const GLuint shader = glCreateShader(stage);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    return shader;
}

GLuint glName(void* handle) {
    return static_cast<GLuint>(reinterpret_cast<uintptr_t>(handle));
}

// The shader texts for a renderer (OpenGL Core, ES 3.0 or ES 2.0).
struct GLShaderTexts {
    const char* vertex;
    const char* fragment;
};

GLShaderTexts ShaderTextsFor(UnityGfxRenderer apiType) {
    switch (apiType) {
        case kUnityGfxRendererOpenGLCore:
            return {kVertexShaderCore, kFragmentShaderCore};
        case kUnityGfxRendererOpenGLES30:
            return {kVertexShaderEs3, kFragmentShaderEs3};
        default:
            return {kVertexShaderEs2, kFragmentShaderEs2};
    }
}

}  // namespace

RenderAPI* CreateRenderAPI_OpenGLCoreES(UnityGfxRenderer apiType) {
    return new RenderAPI_OpenGLCoreES(apiType);
}

RenderAPI_OpenGLCoreES::RenderAPI_OpenGLCoreES(UnityGfxRenderer renderer) : apiType(renderer) {}

void RenderAPI_OpenGLCoreES::ProcessDeviceEvent(UnityGfxDeviceEventType eventType,
                                                IUnityInterfaces*) {
    if (eventType == kUnityGfxDeviceEventInitialize) {
        CreateResources();
    }
}

void RenderAPI_OpenGLCoreES::CreateResources() {
    const GLShaderTexts texts = ShaderTextsFor(apiType);
    vertexShader = compileShader(GL_VERTEX_SHADER, texts.vertex);
    fragmentShader = compileShader(GL_FRAGMENT_SHADER, texts.fragment);

    shaderProgram = glCreateProgram();
    glBindAttribLocation(shaderProgram, 0, "pos");
    glBindAttribLocation(shaderProgram, 1, "color");
    glAttachShader(shaderProgram, vertexShader);
    glAttachShader(shaderProgram, fragmentShader);
    if (isCore()) {
        glBindFragDataLocation(shaderProgram, 0, "fragColor");
    }
    glLinkProgram(shaderProgram);

    worldMatrixLocation = glGetUniformLocation(shaderProgram, "worldMatrix");
    projMatrixLocation = glGetUniformLocation(shaderProgram, "projMatrix");

    glGenBuffers(1, &vertexBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, kVertexBufferSize, nullptr, GL_STREAM_DRAW);

    uploader.emplace(ChooseUploadCapabilities(apiType, QueryExtensionSupport(apiType)));
}

void RenderAPI_OpenGLCoreES::DrawSimpleTriangles(const float worldMatrix[16], int triangleCount,
                                                 const void* vertices) {
    // More triangles than the vertex buffer holds would make the draw read past its end.
    if (triangleCount <= 0 || triangleCount > kMaxTriangles) {
        return;
    }
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);

    glUseProgram(shaderProgram);
    glUniformMatrix4fv(worldMatrixLocation, 1, GL_FALSE, worldMatrix);
    glUniformMatrix4fv(projMatrixLocation, 1, GL_FALSE, kProjectionMatrix);

    if (isCore()) {
        glGenVertexArrays(1, &vertexArray);
        glBindVertexArray(vertexArray);
    }

    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer);
    glBufferSubData(GL_ARRAY_BUFFER, 0, triangleCount * kTriangleSize, vertices);

    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, kVertexSize, reinterpret_cast<void*>(0));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, kVertexSize,
                          reinterpret_cast<void*>(12));

    glDrawArrays(GL_TRIANGLES, 0, triangleCount * 3);

    if (isCore()) {
        glDeleteVertexArrays(1, &vertexArray);
    }
}

void* RenderAPI_OpenGLCoreES::BeginModifyTexture(void*, int textureWidth, int textureHeight,
                                                 int* outRowPitch) {
    return AllocateTextureBuffer(textureWidth, textureHeight, outRowPitch);
}

void RenderAPI_OpenGLCoreES::EndModifyTexture(void* textureHandle, int textureWidth,
                                              int textureHeight, int rowPitch, void* dataPtr) {
    EndModifyTexture2(textureHandle, textureWidth, textureHeight, rowPitch, dataPtr);
    FreeTextureBuffer(dataPtr);
}

void RenderAPI_OpenGLCoreES::EndModifyTexture2(void* textureHandle, int textureWidth,
                                               int textureHeight, int rowPitch, void* dataPtr) {
    if (uploader) {
        uploader->upload(glName(textureHandle), textureWidth, textureHeight, rowPitch, dataPtr);
    }
}

void* RenderAPI_OpenGLCoreES::BeginModifyVertexBuffer(void* bufferHandle, uint64_t* outBufferSize) {
    glBindBuffer(GL_ARRAY_BUFFER, glName(bufferHandle));
    GLint size = 0;
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
    *outBufferSize = static_cast<uint64_t>(int64_t{size});
    switch (apiType) {
        case kUnityGfxRendererOpenGLCore:
            return glMapBuffer(GL_ARRAY_BUFFER, GL_WRITE_ONLY);
        case kUnityGfxRendererOpenGLES30:
            // OpenGL ES 3.0 maps only ranges; glMapBuffer needs an extension there.
            return glMapBufferRange(GL_ARRAY_BUFFER, 0, size, GL_MAP_WRITE_BIT);
        default:
            // OpenGL ES 2.0 cannot map buffers without an extension.
            return nullptr;
    }
}

void RenderAPI_OpenGLCoreES::EndModifyVertexBuffer(void* bufferHandle) {
    if (apiType == kUnityGfxRendererOpenGLES20) {
        return;
    }
    glBindBuffer(GL_ARRAY_BUFFER, glName(bufferHandle));
    glUnmapBuffer(GL_ARRAY_BUFFER);
}
