// The simulator's texture read-back and PNG output: a texture of known pixels comes back
// unchanged, top row first, and the PNG file holds the same pixels.
#include "EglContext.h"
#include "HostTexture.h"

#include <epoxy/gl.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>

namespace {

std::vector<uint8_t> knownPixels(int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = uint8_t(i * 37 + i / 4);
    }
    return pixels;
}

std::vector<uint8_t> readPng(const std::string& path, int* width, int* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return {};
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return {};
    }
    *width = int(image.width);
    *height = int(image.height);
    return pixels;
}

class HostTextureOnEachRenderer : public testing::TestWithParam<UnityGfxRenderer> {};

TEST_P(HostTextureOnEachRenderer, KnownPixelsComeBackAndGoIntoThePng) {
    std::string whyNot;
    auto context = headlessgl::EglContext::create(GetParam(), &whyNot);
    ASSERT_TRUE(context) << whyNot;
    const int width = 7, height = 5;  // odd sizes: no row padding may creep in
    const std::vector<uint8_t> pixels = knownPixels(width, height);

    HostTexture texture(width, height);
    glBindTexture(GL_TEXTURE_2D, GLuint(reinterpret_cast<uintptr_t>(texture.nativeHandle())));
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE,
                    pixels.data());
    ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    EXPECT_EQ(texture.readPixels(), pixels);

    const std::string path = testing::TempDir() + "host_texture_test.png";
    std::string error;
    ASSERT_TRUE(writePng(path, width, height, texture.readPixels(), &error)) << error;
    int pngWidth = 0, pngHeight = 0;
    EXPECT_EQ(readPng(path, &pngWidth, &pngHeight), pixels);
    EXPECT_EQ(pngWidth, width);
    EXPECT_EQ(pngHeight, height);
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Renderers, HostTextureOnEachRenderer,
                         testing::Values(kUnityGfxRendererOpenGLCore, kUnityGfxRendererOpenGLES30,
                                         kUnityGfxRendererOpenGLES20),
                         [](const auto& test) { return headlessgl::rendererName(test.param); });

TEST(WritePng, RefusesPixelsOfAnotherSizeAndUnwritablePaths) {
    std::string error;
    EXPECT_FALSE(writePng(testing::TempDir() + "x.png", 2, 2, std::vector<uint8_t>(15), &error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(writePng("/nonexistent/dir/x.png", 1, 1, std::vector<uint8_t>(4), &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

}  // namespace
