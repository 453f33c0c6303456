// The OpenGL backend on a headless Mesa context of each API it serves, pixels read back.
#include "EglContext.h"
#include "Pictures.h"
#include "RenderAPI.h"
#include "RenderAPI_OpenGLCoreES.h"

#include <epoxy/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace testsupport;

namespace {

struct Vertex {
    float x, y, z;
    uint8_t r, g, b, a;
};

GLint integer(GLenum parameter) {
    GLint value = -1;
    glGetIntegerv(parameter, &value);
    return value;
}

// A texture as the host makes one for BGRA pictures: OpenGL Core stores RGBA8 and takes BGRA;
// OpenGL ES has BGRA storage with a BGRA8888 extension, and only RGBA without one.
GLuint makeTexture(GLPixelTransfer transfer, int width, int height) {
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    const GLint storage = transfer == GLPixelTransfer::BgraReversed ? GL_RGBA8
                          : transfer == GLPixelTransfer::BgraExt    ? GL_BGRA_EXT
                                                                    : GL_RGBA;
    const GLenum format = transfer == GLPixelTransfer::SwizzleToRgba ? GL_RGBA : GL_BGRA_EXT;
    glTexImage2D(GL_TEXTURE_2D, 0, storage, width, height, 0, format, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    return texture;
}

// The host's render target: a framebuffer drawing into the texture, deleted with the context.
void bindFramebuffer(GLuint texture) {
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
}

// Read back as BGRA, which every context here offers, so that pictures compare as decoded.
std::vector<uint8_t> readBgra(int x, int y, int width, int height) {
    std::vector<uint8_t> bgra(size_t(width) * height * 4);
    glReadPixels(x, y, width, height, GL_BGRA_EXT, GL_UNSIGNED_BYTE, bgra.data());
    return bgra;
}

class OpenGLBackend : public testing::TestWithParam<UnityGfxRenderer> {
  protected:
    void SetUp() override {
        std::string whyNot;
        context_ = headlessgl::EglContext::create(GetParam(), &whyNot);
        ASSERT_NE(context_, nullptr) << whyNot;
        backend_.reset(CreateRenderAPI(GetParam()));
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR)) << "an error stays until read";
    }

    bool isCore() const { return GetParam() == kUnityGfxRendererOpenGLCore; }

    std::unique_ptr<headlessgl::EglContext> context_;
    std::unique_ptr<RenderAPI> backend_;
};

// 21 triangles fill 1008 of the vertex buffer's 1024 bytes, each in its own column once the world
// matrix halves x, in front of a cleared depth of 0.5; a green one nearer than that then passes
// only where they wrote no depth, and a blue one behind it nowhere. The host left culling,
// blending, a rejecting depth test and its own vertex array, which stays as it was: OpenGL Core
// draws through an array of the backend's, deleted after the draw, ES 3.0 through the bound one.
TEST_P(OpenGLBackend, DrawsTransformedTrianglesDepthTestedWithoutDepthWrites) {
    constexpr int kTriangles = 21, kWidth = kTriangles * 8, kHeight = 8;
    bindFramebuffer(makeTexture(GLPixelTransfer::SwizzleToRgba, kWidth, kHeight));
    GLuint depthBuffer = 0;
    glGenRenderbuffers(1, &depthBuffer);
    glBindRenderbuffer(GL_RENDERBUFFER, depthBuffer);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT16, kWidth, kHeight);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depthBuffer);
    ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
    glViewport(0, 0, kWidth, kHeight);
    glClearDepthf(0.5f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ZERO, GL_ZERO);
    glDepthFunc(GL_NEVER);
    GLuint hostArray = 0;
    if (GetParam() != kUnityGfxRendererOpenGLES20) {
        glGenVertexArrays(1, &hostArray);
        glBindVertexArray(hostArray);
    }
    // The colour under normalised device coordinates (x, y), give or take one step of rounding.
    const auto expectColor = [](float x, float y, std::array<int, 3> rgb,
                                const std::string& where) {
        const auto pixel = readBgra(int((x + 1) / 2 * kWidth), int((y + 1) / 2 * kHeight), 1, 1);
        for (size_t channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(pixel[2 - channel], rgb[channel], 1) << where;
        }
    };

    std::vector<Vertex> vertices;
    const float column = 2.0f / kTriangles;
    for (int i = 0; i < kTriangles; ++i) {
        const float left = -1 + i * column;
        const uint8_t r = uint8_t(10 * i + 5), g = uint8_t(250 - 11 * i), b = uint8_t(7 * i);
        for (const auto& [x, y] : {std::pair{left, -1}, {left + 2 * column, -1}, {left, 1}}) {
            vertices.push_back({2 * x, float(y), 0.25f, r, g, b, 255});
        }
    }
    const float halvingX[16] = {0.5f, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    backend_->DrawSimpleTriangles(halvingX, kTriangles, vertices.data());
    for (int i = 0; i < kTriangles; ++i) {
        const Vertex& corner = vertices[size_t(i) * 3];
        expectColor(corner.x / 2 + column / 4, -0.5f, {corner.r, corner.g, corner.b},
                    "triangle " + std::to_string(i));
    }
    if (hostArray != 0) {
        EXPECT_EQ(integer(GL_VERTEX_ARRAY_BINDING), isCore() ? 0 : GLint(hostArray));
        glBindVertexArray(hostArray);
        GLint hostAttributeEnabled = -1;
        glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &hostAttributeEnabled);
        EXPECT_EQ(hostAttributeEnabled, isCore() ? GL_FALSE : GL_TRUE);
    }

    // The green one clockwise, so the host's back-face culling would have dropped it.
    const Vertex nearAndFar[] = {{-1, -1, 0.4f, 0, 255, 0, 255}, {-1, 1, 0.4f, 0, 255, 0, 255},
                                 {1, -1, 0.4f, 0, 255, 0, 255},  {-4, -4, 0.75f, 0, 0, 255, 255},
                                 {8, -4, 0.75f, 0, 0, 255, 255}, {-4, 8, 0.75f, 0, 0, 255, 255}};
    backend_->DrawSimpleTriangles(halvingX, 2, nearAndFar);
    expectColor(-0.5f + column / 4, -0.5f, {0, 255, 0}, "the first triangles wrote no depth");
    expectColor(0.9f, 0.9f, {0, 0, 0}, "where only the far triangle lies");
}

// OpenGL Core takes BGRA natively, OpenGL ES only with a BGRA8888 extension and swizzles on the
// CPU otherwise; row lengths exist from ES 3.0 on or with EXT_unpack_subimage, and padded rows
// (the whole picture's, 3 pixels longer) are repacked without them. The backend finds both
// extensions in Mesa's ES contexts, so only these rows choose without them. Every choice shows red
// in the red channel, its odd width sheared under any unpack alignment above 4 or a wrong row
// length, and gives the host's unpack state, every value wrong, and its unpack buffer back.
TEST_P(OpenGLBackend, UploadsPicturesAsTheApiAndItsExtensionsAllow) {
    const BgraPicture full = readReferencePictures(fixtureClip("h264_odd_642x362")).at(0);
    const BgraPicture picture = packRows(full.pixels.data(), 639, full.height, full.width * 4);
    const auto Core = kUnityGfxRendererOpenGLCore, ES3 = kUnityGfxRendererOpenGLES30,
               ES2 = kUnityGfxRendererOpenGLES20;
    const auto Reversed = GLPixelTransfer::BgraReversed, Ext = GLPixelTransfer::BgraExt,
               Swizzle = GLPixelTransfer::SwizzleToRgba;
    const struct {
        UnityGfxRenderer renderer;
        GLExtensionSupport extensions;
        GLUploadCapabilities expected;  // transfer, row length, unpack buffer, swapped bytes
        bool padded;
    } rows[] = {
        {Core, {}, {Reversed, true, true, true}, false},
        {Core, {}, {Reversed, true, true, true}, true},
        {ES3, {true, false}, {Ext, true, true, false}, true},
        {ES3, {}, {Swizzle, true, true, false}, false},
        {ES2, {}, {Swizzle, false, false, false}, true},
        {ES2, {true, false}, {Ext, false, false, false}, true},
        {ES2, {false, true}, {Swizzle, true, false, false}, true},
    };
    const auto fields = [](const GLUploadCapabilities& c) {
        return std::tuple(int(c.transfer), c.unpackRowLength, c.pixelUnpackBuffer,
                          c.unpackSwapBytes);
    };
    EXPECT_EQ(
        fields(dynamic_cast<RenderAPI_OpenGLCoreES&>(*backend_).textureUploader()->capabilities()),
        fields(ChooseUploadCapabilities(GetParam(), {true, true})))
        << "the backend finds both extensions in Mesa's context";
    for (const auto& row : rows) {
        if (row.renderer != GetParam()) {
            continue;
        }
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        const GLUploadCapabilities chosen = ChooseUploadCapabilities(row.renderer, row.extensions);
        EXPECT_EQ(fields(chosen), fields(row.expected));

        const BgraPicture& source = row.padded ? full : picture;
        std::vector<uint8_t> pixels = source.pixels;
        const GLuint texture = makeTexture(chosen.transfer, picture.width, picture.height);
        // The unpack state a host may leave behind, where the API has it: every value wrong for a
        // tightly packed upload, and a buffer that would turn the pixels' address into an offset.
        const std::tuple<bool, GLenum, GLint> host[] = {
            {true, GL_UNPACK_ALIGNMENT, 8},
            {chosen.unpackRowLength, GL_UNPACK_ROW_LENGTH, 7},
            {chosen.unpackRowLength, GL_UNPACK_SKIP_ROWS, 3},
            {chosen.unpackRowLength, GL_UNPACK_SKIP_PIXELS, 5},
            {chosen.unpackSwapBytes, GL_UNPACK_SWAP_BYTES, GL_TRUE}};
        for (const auto& [present, parameter, value] : host) {
            if (present) {
                glPixelStorei(parameter, value);
            }
        }
        GLuint hostBuffer = 0;
        if (chosen.pixelUnpackBuffer) {
            glGenBuffers(1, &hostBuffer);
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, hostBuffer);
        }

        GLTextureUploader(chosen).upload(texture, picture.width, picture.height, source.width * 4,
                                         pixels.data());
        for (const auto& [present, parameter, value] : host) {
            if (present) {
                EXPECT_EQ(integer(parameter), value) << "unpack parameter " << parameter;
                glPixelStorei(parameter, parameter == GL_UNPACK_ALIGNMENT ? 4 : 0);
            }
        }
        if (hostBuffer != 0) {
            EXPECT_EQ(integer(GL_PIXEL_UNPACK_BUFFER_BINDING), GLint(hostBuffer));
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        }
        EXPECT_TRUE(pixels == source.pixels) << "the caller's pixels are left as they were";
        bindFramebuffer(texture);
        EXPECT_TRUE(readBgra(0, 0, picture.width, picture.height) == picture.pixels);
    }
}

// OpenGL Core maps whole buffers, OpenGL ES 3.0 only ranges, OpenGL ES 2.0 none at all.
TEST_P(OpenGLBackend, MapsTheHostsVertexBufferWhereTheApiCan) {
    GLuint buffer = 0;
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, 256, nullptr, GL_DYNAMIC_DRAW);
    void* const handle = reinterpret_cast<void*>(uintptr_t{buffer});
    uint64_t size = 0;
    void* memory = backend_->BeginModifyVertexBuffer(handle, &size);
    EXPECT_EQ(size, 256u);
    ASSERT_EQ(memory == nullptr, GetParam() == kUnityGfxRendererOpenGLES20);
    if (memory != nullptr) {
        std::memset(memory, 0x5A, 256);
    }
    backend_->EndModifyVertexBuffer(handle);
    if (isCore()) {  // the only API here that reads buffers back
        std::vector<uint8_t> contents(256);
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, 256, contents.data());
        EXPECT_EQ(contents, std::vector<uint8_t>(256, 0x5A));
    }
}

// TEST_RENDERER: the one context of this program (see CMakeLists.txt).
INSTANTIATE_TEST_SUITE_P(Context, OpenGLBackend, testing::Values(TEST_RENDERER),
                         [](const testing::TestParamInfo<UnityGfxRenderer>& param) {
                             return headlessgl::rendererName(param.param);
                         });

}  // namespace
