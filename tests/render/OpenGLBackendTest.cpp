// The OpenGL backend on a real headless context of each API it serves (OpenGL Core, ES 3.0 and
// ES 2.0 on Mesa), standing in for the host's: one body per behaviour, one program per context,
// pixels read back.
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

namespace {

const std::array<float, 16> kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct Vertex {
    float x, y, z;
    uint8_t r, g, b, a;
};
static_assert(sizeof(Vertex) == 16, "the backend reads 16-byte vertex records");

using Rgb = std::array<uint8_t, 3>;

GLint integer(GLenum parameter) {
    GLint value = -1;
    glGetIntegerv(parameter, &value);
    return value;
}

void* handle(GLuint name) {
    return reinterpret_cast<void*>(uintptr_t{name});
}

// A colour texture with a depth buffer, bound as the draw framebuffer, standing in for the
// host's render target, cleared to black and the given depth.
class RenderTarget {
  public:
    RenderTarget(int width, int height, float depth) : width_(width), height_(height) {
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
        EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
        glViewport(0, 0, width, height);
        glClearColor(0, 0, 0, 1);
        glClearDepthf(depth);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    ~RenderTarget() {
        glDeleteFramebuffers(1, &framebuffer_);
        glDeleteRenderbuffers(1, &depth_);
        glDeleteTextures(1, &color_);
    }
    // Whether the pixel under normalised device coordinates (x, y) shows the colour, give or take
    // one step of rounding.
    void expectColor(float x, float y, Rgb expected, const std::string& where) const {
        uint8_t pixel[4] = {};
        glReadPixels(int((x + 1) / 2 * width_), int((y + 1) / 2 * height_), 1, 1, GL_RGBA,
                     GL_UNSIGNED_BYTE, pixel);
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(pixel[channel], expected[size_t(channel)], 1) << where;
        }
    }

  private:
    int width_;
    int height_;
    GLuint color_ = 0;
    GLuint depth_ = 0;
    GLuint framebuffer_ = 0;
};

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

// The unpack state a host may leave behind: every value wrong for a tightly packed upload. It is
// checked, and set back to the defaults, as the object ends.
class HostUnpackState {
  public:
    explicit HostUnpackState(const GLUploadCapabilities& capabilities) : has_(capabilities) {
        for (const auto& [parameter, value, present] : parameters()) {
            if (present) {
                glPixelStorei(parameter, value);
            }
        }
        if (has_.pixelUnpackBuffer) {
            glGenBuffers(1, &buffer_);
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, buffer_);
            glBufferData(GL_PIXEL_UNPACK_BUFFER, 16, nullptr, GL_STREAM_DRAW);
        }
    }
    ~HostUnpackState() {
        for (const auto& [parameter, value, present] : parameters()) {
            if (present) {
                EXPECT_EQ(integer(parameter), value) << "unpack parameter " << parameter;
                glPixelStorei(parameter, parameter == GL_UNPACK_ALIGNMENT ? 4 : 0);
            }
        }
        if (has_.pixelUnpackBuffer) {
            EXPECT_EQ(integer(GL_PIXEL_UNPACK_BUFFER_BINDING), GLint(buffer_));
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
            glDeleteBuffers(1, &buffer_);
        }
    }

  private:
    struct Parameter {
        GLenum parameter;
        GLint value;
        bool present;
    };
    std::array<Parameter, 5> parameters() const {
        return {{{GL_UNPACK_ALIGNMENT, 8, true},
                 {GL_UNPACK_ROW_LENGTH, 7, has_.unpackRowLength},
                 {GL_UNPACK_SKIP_ROWS, 3, has_.unpackRowLength},
                 {GL_UNPACK_SKIP_PIXELS, 5, has_.unpackRowLength},
                 {GL_UNPACK_SWAP_BYTES, GL_TRUE, has_.unpackSwapBytes}}};
    }

    GLUploadCapabilities has_;
    GLuint buffer_ = 0;
};

// A texture made the way the host makes one for BGRA pictures on this API: OpenGL Core stores
// RGBA8 and takes BGRA uploads; OpenGL ES with a BGRA8888 extension has BGRA storage; without
// one it can only have RGBA.
GLuint makeHostTexture(GLPixelTransfer transfer, int width, int height) {
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

class OpenGLBackend : public testing::TestWithParam<UnityGfxRenderer> {
  protected:
    void SetUp() override {
        std::string whyNot;
        context_ = headlessgl::EglContext::create(GetParam(), &whyNot);
        ASSERT_NE(context_, nullptr) << whyNot;
        backend_.reset(CreateRenderAPI(GetParam()));
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, nullptr);
        ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    void TearDown() override {
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
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

    std::unique_ptr<headlessgl::EglContext> context_;
    std::unique_ptr<RenderAPI> backend_;
};

// Red and blue triangles in front of and behind a cleared depth of 0.5, then a green one between
// them that only passes where the first draw wrote no depth. The host left culling, blending and
// a rejecting depth test on; the world matrix halves x.
TEST_P(OpenGLBackend, DrawsTransformedTrianglesDepthTestedWithoutDepthWrites) {
    const RenderTarget target(64, 64, 0.5f);
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
    target.expectColor(-0.4f, -0.8f, {255, 0, 0}, "inside the red triangle");
    target.expectColor(0.7f, -0.95f, {0, 0, 0}, "beyond the halved x extent");
    target.expectColor(0.8f, 0.8f, {0, 0, 0}, "where only the far blue triangle lies");

    // Clockwise, so the host's back-face culling would have dropped it.
    draw(halveX, {{-1, -1, 0.4f, 0, 255, 0, 255},
                  {-1, 1, 0.4f, 0, 255, 0, 255},
                  {1, -1, 0.4f, 0, 255, 0, 255}});
    target.expectColor(-0.4f, -0.8f, {0, 255, 0}, "red wrote no depth");
}

// 21 triangles fill 1008 of the vertex buffer's 1024 bytes; each covers its own column.
TEST_P(OpenGLBackend, DrawsTwentyOneTrianglesFromOneBuffer) {
    constexpr int kTriangles = 21;
    const RenderTarget target(kTriangles * 8, 8, 1.0f);
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
        target.expectColor(corner.x + column / 4, -0.5f, {corner.r, corner.g, corner.b},
                           "triangle " + std::to_string(i));
    }
}

// The host's vertex array stays as it was: OpenGL Core draws through a vertex array object of
// the backend's own, deleted after the draw; OpenGL ES 3.0 uses whatever is bound.
TEST_P(OpenGLBackend, UsesVertexArrayObjectsOnlyOnCore) {
    if (GetParam() == kUnityGfxRendererOpenGLES20) {
        GTEST_SKIP() << "OpenGL ES 2.0 has no vertex array objects";
    }
    const RenderTarget target(16, 16, 1.0f);
    GLuint hostArray = 0;
    glGenVertexArrays(1, &hostArray);
    glBindVertexArray(hostArray);
    draw(kIdentity,
         {{-1, -1, 0, 0, 0, 255, 255}, {1, -1, 0, 0, 0, 255, 255}, {-1, 1, 0, 0, 0, 255, 255}});
    target.expectColor(-0.5f, -0.5f, {0, 0, 255}, "drawn");

    EXPECT_EQ(integer(GL_VERTEX_ARRAY_BINDING), isCore() ? 0 : GLint(hostArray));
    glBindVertexArray(hostArray);
    GLint hostAttributeEnabled = -1;
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &hostAttributeEnabled);
    EXPECT_EQ(hostAttributeEnabled, isCore() ? GL_FALSE : GL_TRUE);
    glBindVertexArray(0);
    glDeleteVertexArrays(1, &hostArray);
}

// Every way a decoded picture reaches the host's texture on this API shows it with red in the red
// channel: the backend's own upload of tight and padded rows, the buffer of BeginModifyTexture
// (uploaded and freed by EndModifyTexture: the sanitizer builds report a leak or a short buffer),
// the CPU swizzle into RGBA storage, and the repacked copy for padded rows where the API has no
// row length. The picture's odd width shears it under any unpack alignment above 4 or a wrong row
// length; the host's unpack state, every value wrong, is given back unchanged.
TEST_P(OpenGLBackend, UploadsPicturesWithRedInTheRedChannel) {
    const BgraPicture full = readReferencePictures(fixtureClip("h264_odd_642x362")).at(0);
    const BgraPicture picture = packRows(full.pixels.data(), 641, 361, full.width * 4);
    std::vector<uint8_t> expected = picture.pixels;
    for (size_t i = 0; i < expected.size(); i += 4) {
        std::swap(expected[i], expected[i + 2]);
    }
    enum class Path { EndModifyTexture2, EndModifyTexture, Uploader };
    const GLUploadCapabilities chosen = uploadCapabilities();
    GLUploadCapabilities swizzled = chosen;
    swizzled.transfer = GLPixelTransfer::SwizzleToRgba;
    GLUploadCapabilities noRowLength = chosen;
    noRowLength.unpackRowLength = false;
    const int tight = picture.width * 4;
    const struct {
        const char* what;
        Path path;
        GLUploadCapabilities capabilities;
        int rowPitch;
    } rows[] = {
        {"tight rows", Path::EndModifyTexture2, chosen, tight},
        {"padded rows", Path::EndModifyTexture2, chosen, tight + 256},
        {"BeginModifyTexture's buffer", Path::EndModifyTexture, chosen, tight},
        {"swizzled", Path::Uploader, swizzled, tight + 64},
        {"repacked", Path::Uploader, noRowLength, tight + 64},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const GLuint texture =
            makeHostTexture(row.capabilities.transfer, picture.width, picture.height);
        std::vector<uint8_t> pixels(size_t(row.rowPitch) * picture.height, 0xA5);
        uint8_t* data = pixels.data();
        if (row.path == Path::EndModifyTexture) {
            int rowPitch = 0;
            data = static_cast<uint8_t*>(backend_->BeginModifyTexture(
                handle(texture), picture.width, picture.height, &rowPitch));
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(rowPitch, row.rowPitch);
        }
        for (int y = 0; y < picture.height; ++y) {
            std::memcpy(data + size_t(y) * row.rowPitch, &picture.pixels[size_t(y) * tight],
                        size_t(tight));
        }
        const std::vector<uint8_t> original = pixels;
        {
            const HostUnpackState host(row.capabilities);
            glBindTexture(GL_TEXTURE_2D, 0);
            if (row.path == Path::Uploader) {
                GLTextureUploader(row.capabilities)
                    .upload(texture, picture.width, picture.height, row.rowPitch, data);
            } else if (row.path == Path::EndModifyTexture) {
                backend_->EndModifyTexture(handle(texture), picture.width, picture.height,
                                           row.rowPitch, data);
            } else {
                backend_->BeginModifyTexture2();
                backend_->EndModifyTexture2(handle(texture), picture.width, picture.height,
                                            row.rowPitch, data);
            }
            EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
            EXPECT_EQ(integer(GL_TEXTURE_BINDING_2D), GLint(texture));
        }
        EXPECT_TRUE(pixels == original) << "the caller's pixels are left as they were";
        EXPECT_TRUE(readTexture(texture, picture.width, picture.height) == expected);
        glDeleteTextures(1, &texture);
    }
}

TEST_P(OpenGLBackend, MapsTheHostsVertexBufferWhereTheApiCan) {
    GLuint buffer = 0;
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, 256, nullptr, GL_DYNAMIC_DRAW);
    uint64_t size = 0;
    auto* memory = static_cast<uint8_t*>(backend_->BeginModifyVertexBuffer(handle(buffer), &size));
    EXPECT_EQ(size, 256u);
    if (GetParam() == kUnityGfxRendererOpenGLES20) {
        EXPECT_EQ(memory, nullptr) << "OpenGL ES 2.0 cannot map buffers";
    } else {
        ASSERT_NE(memory, nullptr);
        for (int i = 0; i < 256; ++i) {
            memory[i] = uint8_t(i ^ 0x5A);
        }
    }
    backend_->EndModifyVertexBuffer(handle(buffer));
    if (isCore()) {  // the only API here that reads buffers back
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
INSTANTIATE_TEST_SUITE_P(Context, OpenGLBackend, testing::Values(TEST_RENDERER),
                         [](const testing::TestParamInfo<UnityGfxRenderer>& param) {
                             return headlessgl::rendererName(param.param);
                         });

}  // namespace
