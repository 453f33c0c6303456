// Reading H.264 and HEVC parameter sets: enough of each to reject what is not one and to find the
// picture's display size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace compat {

struct SequenceInfo {
    int displayWidth = 0;  // coded size less frame cropping / the conformance window
    int displayHeight = 0;
    int chromaFormat = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    std::vector<uint8_t> profileTierLevel;  // HEVC: the 12 bytes of the general profile_tier_level
};

// The NAL unit without the zero bytes that follow its last byte (a start code's leading zeros).
size_t lengthWithoutTrailingZeros(const uint8_t* nal, size_t size);

// The RBSP of a NAL unit payload: emulation prevention bytes (0x03 after 0x00 0x00) removed.
std::vector<uint8_t> unescapeRbsp(const uint8_t* payload, size_t size);

// Each takes a whole NAL unit, header included, trailing zero bytes already cut. Empty / false
// when the unit is not of that kind or does not parse.
std::optional<SequenceInfo> parseH264Sps(const uint8_t* nal, size_t size);
bool isValidH264Pps(const uint8_t* nal, size_t size);
std::optional<SequenceInfo> parseHevcSps(const uint8_t* nal, size_t size);
bool isValidHevcVps(const uint8_t* nal, size_t size);
bool isValidHevcPps(const uint8_t* nal, size_t size);

}  // namespace compat
