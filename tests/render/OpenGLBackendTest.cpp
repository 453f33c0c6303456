// The OpenGL backend on real headless contexts of each API it serves (OpenGL Core, ES 3.0 and
// ES 2.0 on Mesa), standing in for the host's: one body per behaviour, run on every context, one
// program per context.
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
#include <vector>

using namespace testsupport;
using headlessgl::EglContext;
using headlessgl::rendererName;

namespace {

const std::array<float, 16> kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct Vertex {
    float x, y, z;
    uint8_t r, g, b, a;
};
static_assert(sizeof(Vertex) == 16, "the backend reads 16-byte vertex records");

struct Rgba {
    uint8_t r, g, b, a;
};

// A colour texture with a depth buffer, bound as the draw framebuffer, standing in for the
// host's render target.
class RenderTarget {
  public:
    RenderTarget(int width, int height) : width_(width), height_(height) {
        glGenTextures(1, &color_);
        glBindTexture(GL_TEXTURE_2D, color_);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     nullptr);
        glGenRenderbuffers(1, &depth_);
        glBindRenderbuffer(GL_RENDERBUFFER, depth_);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT16, width, height);
        glGenFramebuffers(1, &framebuffer_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, color_, 0);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_);
        glViewport(0, 0, width, height);
    }
    ~RenderTarget() {
        glDeleteFramebuffers(1, &framebuffer_);
        glDeleteRenderbuffers(1, &depth_);
        glDeleteTextures(1, &color_);
    }
    bool complete() const {
        return glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    }
    void clear(float depth) {
        glDepthMask(GL_TRUE);
        glClearColor(0, 0, 0, 1);
        glClearDepthf(depth);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    // The pixel under normalised device coordinates (x, y).
    Rgba pixelAt(float x, float y) const {
        const int column = int((x + 1) / 2 * width_);
        const int row = int((y + 1) / 2 * height_);
        Rgba pixel{};
        glReadPixels(column, row, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, &pixel);
        return pixel;
    }

  private:
    int width_;
    int height_;
    GLuint color_ = 0;
    GLuint depth_ = 0;
    GLuint framebuffer_ = 0;
};

void expectColor(Rgba actual, Rgba expected, const std::string& where) {
    EXPECT_NEAR(actual.r, expected.r, 1) << where;
    EXPECT_NEAR(actual.g, expected.g, 1) << where;
    EXPECT_NEAR(actual.b, expected.b, 1) << where;
}

// The texture as its storage holds it, read through a framebuffer as RGBA bytes.
std::vector<uint8_t> readTexture(GLuint texture, int width, int height) {
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
    return rgba;
}

// What a correct upload of a BGRA picture reads back as.
std::vector<uint8_t> asRgba(const BgraPicture& picture) {
    std::vector<uint8_t> rgba(picture.pixels.size());
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i + 0] = picture.pixels[i + 2];
        rgba[i + 1] = picture.pixels[i + 1];
        rgba[i + 2] = picture.pixels[i + 0];
        rgba[i + 3] = picture.pixels[i + 3];
    }
    return rgba;
}

// A real decoded picture with an odd width, so that any unpack alignment above 4 or a wrong row
// length shears it.
BgraPicture oddWidthPicture() {
    const BgraPicture full = readReferencePictures(fixtureClip("h264_odd_642x362")).at(0);
    return packRows(full.pixels.data(), 641, 361, full.width * 4);
}

// The picture with rowPitch - width * 4 bytes of junk after every row.
std::vector<uint8_t> withRowPitch(const BgraPicture& picture, int rowPitch) {
    std::vector<uint8_t> padded(size_t(rowPitch) * picture.height, 0xA5);
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(padded.data() + size_t(y) * rowPitch,
                    picture.pixels.data() + size_t(y) * picture.width * 4, picture.width * 4);
    }
    return padded;
}

// The unpack state a host may leave behind: every value wrong for a tightly packed upload.
class HostUnpackState {
  public:
    explicit HostUnpackState(const GLUploadCapabilities& capabilities)
        : capabilities_(capabilities) {
        glPixelStorei(GL_UNPACK_ALIGNMENT, 8);
        if (capabilities.unpackRowLength) {
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 7);
            glPixelStorei(GL_UNPACK_SKIP_ROWS, 3);
            glPixelStorei(GL_UNPACK_SKIP_PIXELS, 5);
        }
        if (capabilities.unpackSwapBytes) {
            glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_TRUE);
        }
        if (capabilities.pixelUnpackBuffer) {
            glGenBuffers(1, &buffer_);
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, buffer_);
            glBufferData(GL_PIXEL_UNPACK_BUFFER, 16, nullptr, GL_STREAM_DRAW);
        }
    }
    ~HostUnpackState() {
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        glDeleteBuffers(1, &buffer_);
    }
    void expectRestored() const {
        EXPECT_EQ(integer(GL_UNPACK_ALIGNMENT), 8);
        if (capabilities_.unpackRowLength) {
            EXPECT_EQ(integer(GL_UNPACK_ROW_LENGTH), 7);
            EXPECT_EQ(integer(GL_UNPACK_SKIP_ROWS), 3);
            EXPECT_EQ(integer(GL_UNPACK_SKIP_PIXELS), 5);
        }
        if (capabilities_.unpackSwapBytes) {
            EXPECT_EQ(integer(GL_UNPACK_SWAP_BYTES), GL_TRUE);
        }
        if (capabilities_.pixelUnpackBuffer) {
            EXPECT_EQ(integer(GL_PIXEL_UNPACK_BUFFER_BINDING), GLint(buffer_));
        }
    }
    static GLint integer(GLenum parameter) {
        GLint value = -1;
        glGetIntegerv(parameter, &value);
        return value;
    }

  private:
    GLUploadCapabilities capabilities_;
    GLuint buffer_ = 0;
};

// A texture made the way the host makes one for BGRA pictures on this API: OpenGL Core stores
// RGBA8 and takes BGRA uploads; OpenGL ES with a BGRA8888 extension has BGRA storage; without
// one it can only have RGBA.
GLuint makeHostTexture(GLPixelTransfer transfer, int width, int height) {
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    switch (transfer) {
        case GLPixelTransfer::BgraReversed:
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                         nullptr);
            break;
        case GLPixelTransfer::BgraExt:
            glTexImage2D(GL_TEXTURE_2D, 0, GL_BGRA_EXT, width, height, 0, GL_BGRA_EXT,
                         GL_UNSIGNED_BYTE, nullptr);
            break;
        case GLPixelTransfer::SwizzleToRgba:
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                         nullptr);
            break;
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    return texture;
}

void* textureHandle(GLuint texture) {
    return reinterpret_cast<void*>(uintptr_t{texture});
}

std::string rendererTestName(const testing::TestParamInfo<UnityGfxRenderer>& param) {
    return rendererName(param.param);
}

class OpenGLBackend : public testing::TestWithParam<UnityGfxRenderer> {
  protected:
    void SetUp() override {
        std::string whyNot;
        context_ = EglContext::create(GetParam(), &whyNot);
        ASSERT_NE(context_, nullptr) << whyNot;
        backend_.reset(CreateRenderAPI(GetParam()));
        ASSERT_NE(backend_, nullptr);
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, nullptr);
        ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    void TearDown() override {
        backend_.reset();
        context_.reset();
    }

    bool isCore() const { return GetParam() == kUnityGfxRendererOpenGLCore; }
    const GLUploadCapabilities& uploadCapabilities() const {
        return dynamic_cast<RenderAPI_OpenGLCoreES&>(*backend_).textureUploader()->capabilities();
    }
    void draw(const std::array<float, 16>& world, const std::vector<Vertex>& vertices) {
        backend_->DrawSimpleTriangles(world.data(), int(vertices.size() / 3), vertices.data());
    }

    std::unique_ptr<EglContext> context_;
    std::unique_ptr<RenderAPI> backend_;
};

TEST_P(OpenGLBackend, LinksItsProgramWithTheAttributesItFeeds) {
    RenderTarget target(16, 16);
    draw(kIdentity,
         {{-1, -1, 0, 255, 0, 0, 255}, {1, -1, 0, 255, 0, 0, 255}, {-1, 1, 0, 255, 0, 0, 255}});
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    ASSERT_NE(program, 0);
    GLint linked = GL_FALSE;
    glGetProgramiv(GLuint(program), GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
    EXPECT_EQ(glGetAttribLocation(GLuint(program), "pos"), 0);
    EXPECT_EQ(glGetAttribLocation(GLuint(program), "color"), 1);
    if (isCore()) {
        EXPECT_EQ(glGetFragDataLocation(GLuint(program), "fragColor"), 0);
    }

    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Red and blue triangles in front of and behind a cleared depth of 0.5, then a green one between
// them that only passes where the first draw wrote no depth. The host left culling, blending and
// a rejecting depth state on; the world matrix halves x.
TEST_P(OpenGLBackend, DrawsTransformedTrianglesDepthTestedWithoutDepthWrites) {
    RenderTarget target(64, 64);
    ASSERT_TRUE(target.complete());
    target.clear(0.5f);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ZERO, GL_ZERO);
    glDepthFunc(GL_NEVER);
    glDepthMask(GL_TRUE);

    std::array<float, 16> halveX = kIdentity;
    halveX[0] = 0.5f;
    draw(halveX, {{-1, -1, 0.25f, 255, 0, 0, 255},
                  {1, -1, 0.25f, 255, 0, 0, 255},
                  {-1, 1, 0.25f, 255, 0, 0, 255},
                  {-2, -2, 0.75f, 0, 0, 255, 255},
                  {2, -2, 0.75f, 0, 0, 255, 255},
                  {-2, 2, 0.75f, 0, 0, 255, 255}});
    const Rgba red{255, 0, 0, 255};
    const Rgba black{0, 0, 0, 255};
    expectColor(target.pixelAt(-0.4f, -0.8f), red, "inside the red triangle");
    expectColor(target.pixelAt(0.7f, -0.95f), black, "beyond the halved x extent");
    expectColor(target.pixelAt(0.8f, 0.8f), black, "where only the far blue triangle lies");

    // Clockwise, so the host's back-face culling would have dropped it.
    draw(halveX, {{-1, -1, 0.4f, 0, 255, 0, 255},
                  {-1, 1, 0.4f, 0, 255, 0, 255},
                  {1, -1, 0.4f, 0, 255, 0, 255}});
    expectColor(target.pixelAt(-0.4f, -0.8f), {0, 255, 0, 255}, "red wrote no depth");

    GLint depthFunc = 0;
    glGetIntegerv(GL_DEPTH_FUNC, &depthFunc);
    EXPECT_EQ(depthFunc, GL_LEQUAL);
    GLboolean depthWrites = GL_TRUE;
    glGetBooleanv(GL_DEPTH_WRITEMASK, &depthWrites);
    EXPECT_EQ(depthWrites, GL_FALSE);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// 21 triangles fill 1008 of the vertex buffer's 1024 bytes; each covers its own column.
TEST_P(OpenGLBackend, DrawsTwentyOneTrianglesFromOneBuffer) {
    constexpr int kTriangles = 21;
    RenderTarget target(kTriangles * 8, 8);
    target.clear(1.0f);
    std::vector<Vertex> vertices;
    const float column = 2.0f / kTriangles;
    for (int i = 0; i < kTriangles; ++i) {
        const float left = -1 + i * column;
        const uint8_t r = uint8_t(10 * i + 5), g = uint8_t(250 - 11 * i), b = uint8_t(7 * i);
        vertices.push_back({left, -1, 0.5f, r, g, b, 255});
        vertices.push_back({left + 2 * column, -1, 0.5f, r, g, b, 255});
        vertices.push_back({left, 1, 0.5f, r, g, b, 255});
    }
    draw(kIdentity, vertices);
    for (int i = 0; i < kTriangles; ++i) {
        const Vertex& corner = vertices[size_t(i) * 3];
        expectColor(target.pixelAt(corner.x + column / 4, -0.5f),
                    {corner.r, corner.g, corner.b, 255}, "triangle " + std::to_string(i));
    }
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// The host's vertex array stays as it was: OpenGL Core draws through a vertex array object of
// the backend's own, deleted after the draw; OpenGL ES 3.0 uses whatever is bound.
TEST_P(OpenGLBackend, UsesVertexArrayObjectsOnlyOnCore) {
    if (GetParam() == kUnityGfxRendererOpenGLES20) {
        GTEST_SKIP() << "OpenGL ES 2.0 has no vertex array objects";
    }
    RenderTarget target(16, 16);
    target.clear(1.0f);
    GLuint hostArray = 0;
    glGenVertexArrays(1, &hostArray);
    glBindVertexArray(hostArray);
    draw(kIdentity,
         {{-1, -1, 0, 0, 0, 255, 255}, {1, -1, 0, 0, 0, 255, 255}, {-1, 1, 0, 0, 0, 255, 255}});
    expectColor(target.pixelAt(-0.5f, -0.5f), {0, 0, 255, 255}, "drawn");

    GLint bound = -1;
    glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &bound);
    glBindVertexArray(hostArray);
    GLint hostAttributeEnabled = -1;
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &hostAttributeEnabled);
    if (isCore()) {
        EXPECT_EQ(bound, 0) << "the backend's own array, deleted after the draw";
        EXPECT_EQ(hostAttributeEnabled, GL_FALSE) << "the host's array was not touched";
    } else {
        EXPECT_EQ(bound, GLint(hostArray));
        EXPECT_EQ(hostAttributeEnabled, GL_TRUE);
    }
    glBindVertexArray(0);
    glDeleteVertexArrays(1, &hostArray);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// A decoded picture reaches the host's BGRA texture with red in the red channel, whatever
// unpack state the host left, which is given back unchanged; tight and padded rows alike.
TEST_P(OpenGLBackend, UploadsPicturesWithRedInTheRedChannel) {
    const BgraPicture picture = oddWidthPicture();
    const GLuint texture =
        makeHostTexture(uploadCapabilities().transfer, picture.width, picture.height);
    const std::vector<uint8_t> expected = asRgba(picture);

    for (const int rowPitch : {picture.width * 4, picture.width * 4 + 256}) {
        SCOPED_TRACE("row pitch " + std::to_string(rowPitch));
        std::vector<uint8_t> pixels = withRowPitch(picture, rowPitch);
        const std::vector<uint8_t> original = pixels;
        {
            const HostUnpackState host(uploadCapabilities());
            glBindTexture(GL_TEXTURE_2D, 0);
            backend_->BeginModifyTexture2();
            backend_->EndModifyTexture2(textureHandle(texture), picture.width, picture.height,
                                        rowPitch, pixels.data());
            EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
            host.expectRestored();
            EXPECT_EQ(HostUnpackState::integer(GL_TEXTURE_BINDING_2D), GLint(texture));
        }
        EXPECT_EQ(pixels, original) << "the caller's pixels are left as they were";
        EXPECT_TRUE(readTexture(texture, picture.width, picture.height) == expected);
    }
    glDeleteTextures(1, &texture);
}

// Every way of getting BGRA bytes into a texture that this API allows gives the same picture:
// the one the backend chose, the CPU swizzle into RGBA storage, and the repacked copy for
// padded rows where the API has no row length.
TEST_P(OpenGLBackend, EveryPixelTransferOfTheApiShowsTheSamePicture) {
    const BgraPicture picture = oddWidthPicture();
    const int paddedPitch = picture.width * 4 + 64;
    const std::vector<uint8_t> pixels = withRowPitch(picture, paddedPitch);
    const std::vector<uint8_t> expected = asRgba(picture);

    const GLUploadCapabilities chosen = uploadCapabilities();
    GLUploadCapabilities swizzled = chosen;
    swizzled.transfer = GLPixelTransfer::SwizzleToRgba;
    GLUploadCapabilities noRowLength = chosen;
    noRowLength.unpackRowLength = false;
    for (const GLUploadCapabilities& capabilities : {chosen, swizzled, noRowLength}) {
        SCOPED_TRACE("transfer " + std::to_string(int(capabilities.transfer)) + ", row length " +
                     std::to_string(capabilities.unpackRowLength));
        const GLuint texture =
            makeHostTexture(capabilities.transfer, picture.width, picture.height);
        GLTextureUploader uploader(capabilities);
        uploader.upload(texture, picture.width, picture.height, paddedPitch, pixels.data());
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
        EXPECT_TRUE(readTexture(texture, picture.width, picture.height) == expected);
        glDeleteTextures(1, &texture);
    }
}

// The buffer of BeginModifyTexture is uploaded and freed by EndModifyTexture (the sanitizer
// builds would report a leak or a short buffer).
TEST_P(OpenGLBackend, EndModifyTextureUploadsAndFreesItsBuffer) {
    const GLuint texture = makeHostTexture(uploadCapabilities().transfer, 2, 3);
    int rowPitch = 0;
    auto* pixels = static_cast<uint8_t*>(
        backend_->BeginModifyTexture(textureHandle(texture), 2, 3, &rowPitch));
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(rowPitch, 8);
    for (int i = 0; i < 24; i += 4) {
        const uint8_t bgra[4] = {uint8_t(i), uint8_t(100 + i), uint8_t(200 + i), 255};
        std::memcpy(pixels + i, bgra, 4);
    }
    backend_->EndModifyTexture(textureHandle(texture), 2, 3, rowPitch, pixels);
    const std::vector<uint8_t> rgba = readTexture(texture, 2, 3);
    for (int i = 0; i < 24; i += 4) {
        EXPECT_EQ(rgba[size_t(i)], 200 + i);
        EXPECT_EQ(rgba[size_t(i) + 1], 100 + i);
        EXPECT_EQ(rgba[size_t(i) + 2], i);
    }
    glDeleteTextures(1, &texture);
}

TEST_P(OpenGLBackend, MapsTheHostsVertexBufferWhereTheApiCan) {
    GLuint buffer = 0;
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, 256, nullptr, GL_DYNAMIC_DRAW);
    uint64_t size = 0;
    auto* memory = static_cast<uint8_t*>(
        backend_->BeginModifyVertexBuffer(reinterpret_cast<void*>(uintptr_t{buffer}), &size));
    EXPECT_EQ(size, 256u);
    if (GetParam() == kUnityGfxRendererOpenGLES20) {
        EXPECT_EQ(memory, nullptr) << "OpenGL ES 2.0 cannot map buffers";
    } else {
        ASSERT_NE(memory, nullptr);
        for (int i = 0; i < 256; ++i) {
            memory[i] = uint8_t(i ^ 0x5A);
        }
    }
    backend_->EndModifyVertexBuffer(reinterpret_cast<void*>(uintptr_t{buffer}));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    if (isCore()) {
        std::vector<uint8_t> contents(256);
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, 256, contents.data());
        for (int i = 0; i < 256; ++i) {
            EXPECT_EQ(contents[size_t(i)], uint8_t(i ^ 0x5A));
        }
    }
    glDeleteBuffers(1, &buffer);
}

// Built once per context (TEST_RENDERER), since Mesa gives a process OpenGL ES contexts of one
// version only.
INSTANTIATE_TEST_SUITE_P(Context, OpenGLBackend, testing::Values(TEST_RENDERER), rendererTestName);

}  // namespace
