// The NAL units of an Annex B access unit, and what a live stream needs to know of them: where
// decoding can begin again (random-access points), which pictures after such a point cannot be
// decoded, and the H.264 frame numbers that show a lost reference picture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace nalunits {

// One NAL unit of an access unit: its header byte is at `first`.
struct NalUnit {
    size_t first = 0;
    size_t length = 0;
};

// Each unit begins after a 0x00 0x00 0x01 start code that at least one byte follows, and ends
// where the next start code begins. A four-byte start code leaves its leading zero at the end of
// the unit before it.
std::vector<NalUnit> findNalUnits(const uint8_t* bytes, size_t length);

inline int h264Type(uint8_t header) {
    return header & 0x1f;
}
inline int hevcType(uint8_t header) {
    return (header >> 1) & 0x3f;
}
bool isPictureType(int type, bool h265);

// What the first picture of an access unit means for starting to decode.
struct PictureStart {
    bool hasPicture = false;
    // Decoding can start here: an H.264 IDR picture or one with a recovery point SEI whose
    // recovery_frame_cnt is 0; an HEVC IRAP picture (NAL unit types 16 to 21).
    bool randomAccess = false;
    // HEVC CRA or BLA: the RASL pictures that follow it cannot be decoded when decoding starts
    // here. After a BLA they never can.
    bool leadingPicturesSkipped = false;
    bool brokenLink = false;      // HEVC BLA (types 16 to 18)
    bool skippedLeading = false;  // HEVC RASL (types 8 and 9)
    bool leading = false;         // HEVC RASL or RADL (types 6 to 9)
};

// Reads NAL unit headers, and the SEI units before the first picture, up to the first picture.
PictureStart describePictureStart(const uint8_t* bytes, size_t length, bool h265);

inline bool isRandomAccessUnit(const uint8_t* bytes, size_t length, bool h265) {
    return describePictureStart(bytes, length, h265).randomAccess;
}

// Follows H.264 frame_num from picture to picture. Every picture after a reference picture
// carries the next frame number (or the same, after a non-reference picture), so any other
// number means reference pictures were lost, even where the decoder conceals it.
class FrameNumberTracker {
  public:
    void addSequenceSet(const uint8_t* nal, size_t size);
    void addPictureSet(const uint8_t* nal, size_t size);
    // Takes the first slice NAL unit of the next picture; true when pictures are missing before
    // it. A slice whose parameter sets are unknown tells nothing.
    bool pictureFollowsGap(const uint8_t* nal, size_t size);
    // The next picture starts a new count.
    void restart() { previousReferenceFrameNum_.reset(); }

  private:
    struct SequenceFields {
        int log2MaxFrameNum = 4;
        bool separateColourPlane = false;
        bool gapsAllowed = false;
    };
    static constexpr int8_t kUnknown = -1;

    std::array<std::optional<SequenceFields>, 32> sequences_;
    std::array<int8_t, 256> sequenceOfPictureSet_ = filledUnknown();
    std::optional<uint32_t> previousReferenceFrameNum_;

    static std::array<int8_t, 256> filledUnknown() {
        std::array<int8_t, 256> ids;
        ids.fill(kUnknown);
        return ids;
    }
};

}  // namespace nalunits
