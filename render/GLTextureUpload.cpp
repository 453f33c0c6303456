#include "GLTextureUpload.h"

#include <cstring>
#include <exception>
#include <string>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the BGRA swizzle reads pixels as words");

namespace {

bool isCore(UnityGfxRenderer apiType) {
    return apiType == kUnityGfxRendererOpenGLCore;
}

bool isEs2(UnityGfxRenderer apiType) {
    return apiType == kUnityGfxRendererOpenGLES20;
}

bool hasExtension(UnityGfxRenderer apiType, const char* name) {
    if (isEs2(apiType)) {
        const auto* all = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
        if (all == nullptr) {
            return false;
        }
        const std::string padded = " " + std::string(all) + " ";
        return padded.find(" " + std::string(name) + " ") != std::string::npos;
    }
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i) {
        const auto* extension = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, i));
        if (extension != nullptr && std::strcmp(extension, name) == 0) {
            return true;
        }
    }
    return false;
}

// One unpack parameter: set to what the upload needs for the lifetime of the object, and put back
// as the host had it. Parameters already right, or absent from the API, are left alone.
class ScopedPixelStore {
  public:
    ScopedPixelStore(bool present, GLenum parameter, GLint needed) : parameter_(parameter) {
        if (!present) {
            return;
        }
        glGetIntegerv(parameter_, &saved_);
        changed_ = saved_ != needed;
        if (changed_) {
            glPixelStorei(parameter_, needed);
        }
    }
    ScopedPixelStore(const ScopedPixelStore&) = delete;
    ScopedPixelStore& operator=(const ScopedPixelStore&) = delete;
    ~ScopedPixelStore() {
        if (changed_) {
            glPixelStorei(parameter_, saved_);
        }
    }

  private:
    GLenum parameter_;
    GLint saved_ = 0;
    bool changed_ = false;
};

// A pixel-unpack buffer bound by the host would turn the pixel pointer into a buffer offset.
class ScopedNoUnpackBuffer {
  public:
    explicit ScopedNoUnpackBuffer(bool available) {
        if (available) {
            glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &saved_);
        }
        if (saved_ != 0) {
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        }
    }
    ScopedNoUnpackBuffer(const ScopedNoUnpackBuffer&) = delete;
    ScopedNoUnpackBuffer& operator=(const ScopedNoUnpackBuffer&) = delete;
    ~ScopedNoUnpackBuffer() {
        if (saved_ != 0) {
            glBindBuffer(GL_PIXEL_UNPACK_BUFFER, static_cast<GLuint>(saved_));
        }
    }

  private:
    GLint saved_ = 0;
};

// Everything glTexSubImage2D reads from the unpack state, as the upload needs it.
class UnpackState {
  public:
    UnpackState(const GLUploadCapabilities& capabilities, GLint rowLength)
        : noBuffer_(capabilities.pixelUnpackBuffer),
          alignment_(true, GL_UNPACK_ALIGNMENT, 4),
          rowLength_(capabilities.unpackRowLength, GL_UNPACK_ROW_LENGTH, rowLength),
          skipRows_(capabilities.unpackRowLength, GL_UNPACK_SKIP_ROWS, 0),
          skipPixels_(capabilities.unpackRowLength, GL_UNPACK_SKIP_PIXELS, 0),
          swapBytes_(capabilities.unpackSwapBytes, GL_UNPACK_SWAP_BYTES, GL_FALSE) {}

  private:
    ScopedNoUnpackBuffer noBuffer_;
    ScopedPixelStore alignment_;
    ScopedPixelStore rowLength_;
    ScopedPixelStore skipRows_;
    ScopedPixelStore skipPixels_;
    ScopedPixelStore swapBytes_;
};

uint32_t withRedAndBlueSwapped(uint32_t pixel) {
    return (pixel & 0xFF00FF00u) | ((pixel & 0xFFu) << 16) | ((pixel >> 16) & 0xFFu);
}

// Works in fixed blocks of pixels, which compilers turn into vector instructions at -O2.
void swapRedAndBlue(const uint8_t* source, uint8_t* destination, int pixelCount) {
    constexpr int kBlock = 8;
    int i = 0;
    for (; i + kBlock <= pixelCount; i += kBlock) {
        uint32_t block[kBlock];
        std::memcpy(block, source + 4 * i, sizeof block);
        for (uint32_t& pixel : block) {
            pixel = withRedAndBlueSwapped(pixel);
        }
        std::memcpy(destination + 4 * i, block, sizeof block);
    }
    for (; i < pixelCount; ++i) {
        uint32_t pixel;
        std::memcpy(&pixel, source + 4 * i, 4);
        pixel = withRedAndBlueSwapped(pixel);
        std::memcpy(destination + 4 * i, &pixel, 4);
    }
}

}  // namespace

GLUploadCapabilities ChooseUploadCapabilities(UnityGfxRenderer apiType,
                                              GLExtensionSupport extensions) {
    GLUploadCapabilities capabilities;
    if (isCore(apiType)) {
        capabilities.transfer = GLPixelTransfer::BgraReversed;
        capabilities.unpackSwapBytes = true;
    } else {
        capabilities.transfer =
            extensions.bgra8888 ? GLPixelTransfer::BgraExt : GLPixelTransfer::SwizzleToRgba;
    }
    capabilities.pixelUnpackBuffer = !isEs2(apiType);
    capabilities.unpackRowLength = !isEs2(apiType) || extensions.unpackSubimage;
    return capabilities;
}

GLExtensionSupport QueryExtensionSupport(UnityGfxRenderer apiType) {
    GLExtensionSupport support;
    support.bgra8888 = hasExtension(apiType, "GL_EXT_texture_format_BGRA8888") ||
                       hasExtension(apiType, "GL_APPLE_texture_format_BGRA8888");
    support.unpackSubimage = hasExtension(apiType, "GL_EXT_unpack_subimage");
    return support;
}

GLTextureUploader::GLTextureUploader(GLUploadCapabilities capabilities)
    : capabilities_(capabilities) {}

const uint8_t* GLTextureUploader::stage(int width, int height, int rowPitch,
                                        const uint8_t* pixels) {
    const size_t tightPitch = size_t(width) * 4;
    const bool swizzle = capabilities_.transfer == GLPixelTransfer::SwizzleToRgba;
    const bool repack = size_t(rowPitch) != tightPitch && !capabilities_.unpackRowLength;
    if (!swizzle && !repack) {
        return nullptr;
    }
    staging_.resize(tightPitch * size_t(height));
    for (int y = 0; y < height; ++y) {
        const uint8_t* sourceRow = pixels + size_t(y) * size_t(rowPitch);
        uint8_t* stagedRow = staging_.data() + size_t(y) * tightPitch;
        if (swizzle) {
            swapRedAndBlue(sourceRow, stagedRow, width);
        } else {
            std::memcpy(stagedRow, sourceRow, tightPitch);
        }
    }
    return staging_.data();
}

void GLTextureUploader::upload(GLuint texture, int width, int height, int rowPitch,
                               const void* pixels) {
    if (pixels == nullptr || width <= 0 || height <= 0 || rowPitch % 4 != 0 ||
        int64_t{rowPitch} < int64_t{width} * 4) {
        return;
    }
    const uint8_t* source = static_cast<const uint8_t*>(pixels);
    GLint rowLength = rowPitch / 4;
    try {
        if (const uint8_t* staged = stage(width, height, rowPitch, source)) {
            source = staged;
            rowLength = width;
        }
    } catch (const std::exception&) {
        return;  // no memory for the staging copy: this picture is not shown
    }
    GLenum format = GL_RGBA;
    GLenum type = GL_UNSIGNED_BYTE;
    if (capabilities_.transfer == GLPixelTransfer::BgraReversed) {
        format = GL_BGRA;
        type = GL_UNSIGNED_INT_8_8_8_8_REV;
    } else if (capabilities_.transfer == GLPixelTransfer::BgraExt) {
        format = GL_BGRA_EXT;
    }
    const UnpackState unpack(capabilities_, rowLength == width ? 0 : rowLength);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, type, source);
}
