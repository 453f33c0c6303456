// Reading H.264 and HEVC parameter sets: enough of each to reject what is not one, to find the
// picture's display size, and to read the slice header fields that tell a lost picture. Used by
// the decode session and by the Linux media layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace parametersets {

struct SequenceInfo {
    int codedWidth = 0;
    int codedHeight = 0;
    int displayWidth = 0;  // coded size less frame cropping / the conformance window
    int displayHeight = 0;
    int chromaFormat = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    std::vector<uint8_t> profileTierLevel;  // HEVC: the 12 bytes of the general profile_tier_level
    uint32_t id = 0;                        // seq_parameter_set_id
    // H.264 only: what a slice header's frame_num needs.
    int log2MaxFrameNum = 4;
    bool separateColourPlane = false;
    bool gapsInFrameNumAllowed = false;
    // How many pictures may come before one that precedes them in display order, as the stream
    // says: H.264 max_num_reorder_frames (0 for the Baseline profile, which has no B slices),
    // HEVC sps_max_num_reorder_pics of the highest sub-layer; -1 when it does not say.
    int reorderWindow = -1;
};

// The ids a picture parameter set carries.
struct PictureSetIds {
    uint32_t id = 0;          // pic_parameter_set_id
    uint32_t sequenceId = 0;  // seq_parameter_set_id
};

// The NAL unit without the zero bytes that follow its last byte (a start code's leading zeros).
size_t lengthWithoutTrailingZeros(const uint8_t* nal, size_t size);

// The RBSP of a NAL unit payload: emulation prevention bytes (0x03 after 0x00 0x00) removed.
// At most `limit` bytes of it.
std::vector<uint8_t> unescapeRbsp(const uint8_t* payload, size_t size, size_t limit = SIZE_MAX);

// Reads bits most significant first; reading past the end sets failed() and yields zeros, so a
// parser can read on and test once at the end.
class BitReader {
  public:
    explicit BitReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    uint32_t bits(int count);
    bool flag() { return bit() != 0; }
    void skip(size_t count);
    // Exp-Golomb, unsigned; values above 2^32 - 2 fail.
    uint32_t ue();
    int32_t se();
    bool failed() const { return failed_; }
    void fail() { failed_ = true; }
    // rbsp_trailing_bits: one 1 bit, then zeros to the end.
    bool atTrailingBits();
    // Whether whole bytes remain past the current one (more SEI messages may follow).
    bool moreBytes() const { return position_ / 8 + 1 < bytes_.size(); }

  private:
    uint32_t bit();

    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
    bool failed_ = false;
};

// Each takes a whole NAL unit, header included, trailing zero bytes already cut. Empty / false
// when the unit is not of that kind or does not parse.
std::optional<SequenceInfo> parseH264Sps(const uint8_t* nal, size_t size);
std::optional<PictureSetIds> parseH264Pps(const uint8_t* nal, size_t size);
bool isValidH264Pps(const uint8_t* nal, size_t size);
std::optional<SequenceInfo> parseHevcSps(const uint8_t* nal, size_t size);
bool isValidHevcVps(const uint8_t* nal, size_t size);
bool isValidHevcPps(const uint8_t* nal, size_t size);

// The id of a valid VPS, SPS or PPS of the codec; nothing for any other unit, or one that does
// not parse. Trailing zero bytes are allowed.
std::optional<uint32_t> parameterSetId(const uint8_t* nal, size_t size, bool h265);

}  // namespace parametersets
