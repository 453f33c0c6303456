// The picture a host texture shows, in the BGRA byte order of the reference pictures.
#pragma once

#include "Pictures.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace reliability {

// `rgba`: level 0 as read back from the texture (HostTexture::readPixels).
inline testsupport::BgraPicture pictureFromTexture(int width, int height,
                                                   std::vector<uint8_t> rgba) {
    for (size_t pixel = 0; pixel + 3 < rgba.size(); pixel += 4) {
        std::swap(rgba[pixel], rgba[pixel + 2]);
    }
    return testsupport::BgraPicture{width, height, std::move(rgba)};
}

}  // namespace reliability
