// A texture the simulated host creates for a decoder instance, as the host engine would for the
// texture info it is told: RGBA8 storage whose channels the plugin fills as B, G, R, A pictures
// are uploaded in the host's BGRA convention. Needs a current OpenGL context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class HostTexture {
  public:
    HostTexture(int width, int height);
    ~HostTexture();
    HostTexture(const HostTexture&) = delete;
    HostTexture& operator=(const HostTexture&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    // The native texture handle the plugin is given: the OpenGL texture name.
    void* nativeHandle() const;

    // Level 0 as RGBA bytes, top row first, rows packed.
    std::vector<uint8_t> readPixels() const;

  private:
    int width_;
    int height_;
    unsigned texture_ = 0;
    unsigned framebuffer_ = 0;
};

// Writes packed RGBA pixels as a PNG file; false with *error set when it cannot.
bool writePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba,
              std::string* error);
