#include "NalUnits.h"

#include "ParameterSets.h"

#include <cstring>

namespace nalunits {

namespace {

constexpr int kH264IdrType = 5;
constexpr int kH264SeiType = 6;
constexpr int kH264SpsType = 7;
constexpr int kH264PpsType = 8;
constexpr uint32_t kRecoveryPointPayload = 6;
// SEI messages are read this far; a recovery point behind a larger message goes unseen, and
// decoding then starts at the next IDR picture instead.
constexpr size_t kSeiReadLimit = 4096;
// first_mb_in_slice, slice_type, pic_parameter_set_id, colour_plane_id and frame_num fit.
constexpr size_t kSliceHeaderReadLimit = 64;

constexpr int kHevcFirstRaslType = 8;
constexpr int kHevcLastRaslType = 9;
constexpr int kHevcFirstLeadingType = 6;
constexpr int kHevcFirstIrapType = 16;
constexpr int kHevcLastBlaType = 18;
constexpr int kHevcLastIrapType = 21;
constexpr int kHevcCraType = 21;

// Calls `visit` with each NAL unit in order until it returns false.
template <typename Visit>
void forEachNalUnit(const uint8_t* bytes, size_t length, Visit visit) {
    if (bytes == nullptr || length < 4) {
        return;
    }
    bool open = false;
    NalUnit unit;
    size_t i = 0;
    while (i + 4 <= length) {
        // Start codes begin with zeros: let memchr find the candidates.
        const void* zero = std::memchr(bytes + i, 0, length - 3 - i);
        if (zero == nullptr) {
            break;
        }
        i = size_t(static_cast<const uint8_t*>(zero) - bytes);
        if (bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            if (open) {
                unit.length = i - unit.first;
                if (!visit(unit)) {
                    return;
                }
            }
            unit.first = i + 3;
            open = true;
            i += 3;
        } else {
            ++i;
        }
    }
    if (open) {
        unit.length = length - unit.first;
        visit(unit);
    }
}

// Whether the SEI NAL unit carries a recovery point with recovery_frame_cnt 0.
bool hasImmediateRecoveryPoint(const uint8_t* nal, size_t size) {
    if (size < 2) {
        return false;
    }
    parametersets::BitReader reader(parametersets::unescapeRbsp(nal + 1, size - 1, kSeiReadLimit));
    while (reader.moreBytes() && !reader.failed()) {
        uint32_t payloadType = 0;
        uint32_t byte = 0xff;
        while (byte == 0xff && !reader.failed()) {
            byte = reader.bits(8);
            payloadType += byte;
        }
        uint32_t payloadSize = 0;
        byte = 0xff;
        while (byte == 0xff && !reader.failed()) {
            byte = reader.bits(8);
            payloadSize += byte;
        }
        if (payloadType == kRecoveryPointPayload) {
            const uint32_t recoveryFrameCount = reader.ue();
            return !reader.failed() && recoveryFrameCount == 0;
        }
        reader.skip(size_t(payloadSize) * 8);
    }
    return false;
}

PictureStart describeHevcPicture(int type) {
    PictureStart start;
    start.hasPicture = true;
    start.randomAccess = type >= kHevcFirstIrapType && type <= kHevcLastIrapType;
    start.brokenLink = type >= kHevcFirstIrapType && type <= kHevcLastBlaType;
    start.leadingPicturesSkipped = type == kHevcCraType || start.brokenLink;
    start.skippedLeading = type >= kHevcFirstRaslType && type <= kHevcLastRaslType;
    start.leading = type >= kHevcFirstLeadingType && type <= kHevcLastRaslType;
    return start;
}

}  // namespace

std::vector<NalUnit> findNalUnits(const uint8_t* bytes, size_t length) {
    std::vector<NalUnit> units;
    forEachNalUnit(bytes, length, [&](const NalUnit& unit) {
        units.push_back(unit);
        return true;
    });
    return units;
}

bool isPictureType(int type, bool h265) {
    return h265 ? type <= 31 : type >= 1 && type <= 5;
}

PictureStart describePictureStart(const uint8_t* bytes, size_t length, bool h265) {
    PictureStart start;
    bool recoveryPoint = false;
    forEachNalUnit(bytes, length, [&](const NalUnit& unit) {
        const uint8_t* nal = bytes + unit.first;
        const int type = h265 ? hevcType(nal[0]) : h264Type(nal[0]);
        if (isPictureType(type, h265)) {
            if (h265) {
                start = describeHevcPicture(type);
            } else {
                start.hasPicture = true;
                start.randomAccess = type == kH264IdrType || recoveryPoint;
            }
            return false;
        }
        if (!h265 && type == kH264SeiType && !recoveryPoint) {
            recoveryPoint = hasImmediateRecoveryPoint(nal, unit.length);
        }
        return true;
    });
    return start;
}

void FrameNumberTracker::addSequenceSet(const uint8_t* nal, size_t size) {
    const size_t length = parametersets::lengthWithoutTrailingZeros(nal, size);
    if (length == 0 || h264Type(nal[0]) != kH264SpsType) {
        return;
    }
    const std::optional<parametersets::SequenceInfo> info =
        parametersets::parseH264Sps(nal, length);
    if (info) {
        sequences_[info->id] = SequenceFields{info->log2MaxFrameNum, info->separateColourPlane,
                                              info->gapsInFrameNumAllowed};
    }
}

void FrameNumberTracker::addPictureSet(const uint8_t* nal, size_t size) {
    const size_t length = parametersets::lengthWithoutTrailingZeros(nal, size);
    if (length == 0 || h264Type(nal[0]) != kH264PpsType) {
        return;
    }
    const std::optional<parametersets::PictureSetIds> ids =
        parametersets::parseH264Pps(nal, length);
    if (ids) {
        sequenceOfPictureSet_[ids->id] = int8_t(ids->sequenceId);
    }
}

bool FrameNumberTracker::pictureFollowsGap(const uint8_t* nal, size_t size) {
    if (size < 2) {
        return false;
    }
    const bool idr = h264Type(nal[0]) == kH264IdrType;
    const bool reference = (nal[0] & 0x60) != 0;
    parametersets::BitReader reader(
        parametersets::unescapeRbsp(nal + 1, size - 1, kSliceHeaderReadLimit));
    reader.ue();  // first_mb_in_slice
    reader.ue();  // slice_type
    const uint32_t pictureSetId = reader.ue();
    if (reader.failed() || pictureSetId > 255 || sequenceOfPictureSet_[pictureSetId] == kUnknown) {
        return false;
    }
    const std::optional<SequenceFields>& sequence =
        sequences_[size_t(sequenceOfPictureSet_[pictureSetId])];
    if (!sequence) {
        return false;
    }
    if (sequence->separateColourPlane) {
        reader.skip(2);  // colour_plane_id
    }
    const uint32_t frameNum = reader.bits(sequence->log2MaxFrameNum);
    if (reader.failed()) {
        return false;
    }
    const uint32_t frameNumCount = 1u << sequence->log2MaxFrameNum;
    const bool gap = !idr && !sequence->gapsAllowed && previousReferenceFrameNum_ &&
                     frameNum != *previousReferenceFrameNum_ &&
                     frameNum != (*previousReferenceFrameNum_ + 1) % frameNumCount;
    if (idr || reference) {
        previousReferenceFrameNum_ = frameNum;
    }
    return gap;
}

}  // namespace nalunits
