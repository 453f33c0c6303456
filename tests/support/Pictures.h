// Decoded reference pictures: FFmpeg's own decode of a clip, converted to BGRA the way the
// product converts (stored beside the clip, and as the MD5s of every picture), and the
// comparisons tests make against them.
#pragma once

#include "Fixtures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A picture as 32-bit BGRA, rows packed (width * 4 bytes each).
struct BgraPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// The reference frames committed beside a clip (NAME.ref.mkv): the first
// clip.referenceFrames pictures of FFmpeg's decode, stored losslessly.
std::vector<BgraPicture> readReferencePictures(const FixtureClip& clip);

// The MD5 of every picture from the clip's NAME.framemd5, as lowercase hex.
std::vector<std::string> readFrameMd5s(const FixtureClip& clip);

// The MD5 of the picture's packed BGRA bytes, as lowercase hex.
std::string md5Hex(const BgraPicture& picture);

// Copies a picture whose rows are bytesPerRow apart into a packed BgraPicture.
BgraPicture packRows(const uint8_t* base, int width, int height, int bytesPerRow);

}  // namespace testsupport
