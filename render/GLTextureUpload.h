// Uploads BGRA pictures into a host OpenGL texture so that the texture's red channel holds red,
// whatever unpack state the host left behind, and gives the host its unpack state back.
#pragma once

#include "IUnityGraphics.h"
#include "OpenGLHeaders.h"

#include <cstdint>
#include <vector>

// How the BGRA bytes reach the texture.
enum class GLPixelTransfer {
    // GL_BGRA with GL_UNSIGNED_INT_8_8_8_8_REV: OpenGL Core's native BGRA upload, the fast path
    // of hardware drivers.
    BgraReversed,
    // GL_BGRA_EXT with GL_UNSIGNED_BYTE: OpenGL ES with a BGRA8888 texture format extension.
    BgraExt,
    // Red and blue swapped on the CPU, then GL_RGBA with GL_UNSIGNED_BYTE: OpenGL ES without one.
    SwizzleToRgba,
};

struct GLUploadCapabilities {
    GLPixelTransfer transfer = GLPixelTransfer::SwizzleToRgba;
    bool unpackRowLength = false;    // GL_UNPACK_ROW_LENGTH, _SKIP_ROWS and _SKIP_PIXELS exist
    bool pixelUnpackBuffer = false;  // GL_PIXEL_UNPACK_BUFFER exists
    bool unpackSwapBytes = false;    // GL_UNPACK_SWAP_BYTES exists
};

struct GLExtensionSupport {
    bool bgra8888 = false;        // EXT_ or APPLE_texture_format_BGRA8888
    bool unpackSubimage = false;  // EXT_unpack_subimage
};

GLUploadCapabilities ChooseUploadCapabilities(UnityGfxRenderer apiType,
                                              GLExtensionSupport extensions);

// Asks the current context which extensions it offers.
GLExtensionSupport QueryExtensionSupport(UnityGfxRenderer apiType);

class GLTextureUploader {
  public:
    explicit GLTextureUploader(GLUploadCapabilities capabilities);

    // Replaces level 0 of texture with width x height BGRA pixels whose rows are rowPitch bytes
    // apart (a multiple of 4, at least width * 4). The texture stays bound to GL_TEXTURE_2D.
    // Invalid geometry or null pixels upload nothing.
    void upload(GLuint texture, int width, int height, int rowPitch, const void* pixels);

    const GLUploadCapabilities& capabilities() const { return capabilities_; }

  private:
    // Returns the tightly packed copy to upload instead of pixels, or null when the pixels can be
    // uploaded as they are.
    const uint8_t* stage(int width, int height, int rowPitch, const uint8_t* pixels);

    GLUploadCapabilities capabilities_;
    std::vector<uint8_t> staging_;
};
