#include "ParameterSets.h"

#include <algorithm>

namespace parametersets {

namespace {

constexpr int kH264SpsType = 7;
constexpr int kH264PpsType = 8;
constexpr int kHevcVpsType = 32;
constexpr int kHevcSpsType = 33;
constexpr int kHevcPpsType = 34;
constexpr uint32_t kMaxPictureSide = 16384;

// The payload after a valid H.264 NAL header of that type, or nothing.
std::optional<BitReader> h264Payload(const uint8_t* nal, size_t size, int type) {
    if (nal == nullptr || size < 2 || (nal[0] & 0x80) != 0 || (nal[0] & 0x1f) != type) {
        return std::nullopt;
    }
    return BitReader(unescapeRbsp(nal + 1, size - 1));
}

// The payload after a valid HEVC NAL header (layer 0) of that type, or nothing.
std::optional<BitReader> hevcPayload(const uint8_t* nal, size_t size, int type) {
    if (nal == nullptr || size < 3 || (nal[0] & 0x80) != 0 || ((nal[0] >> 1) & 0x3f) != type) {
        return std::nullopt;
    }
    const int layerId = ((nal[0] & 1) << 5) | (nal[1] >> 3);
    const int temporalIdPlusOne = nal[1] & 7;
    if (layerId != 0 || temporalIdPlusOne == 0) {
        return std::nullopt;
    }
    return BitReader(unescapeRbsp(nal + 2, size - 2));
}

bool hasHighProfileFields(uint32_t profileIdc) {
    switch (profileIdc) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

void skipH264ScalingList(BitReader& reader, int size) {
    int lastScale = 8;
    int nextScale = 8;
    for (int j = 0; j < size && !reader.failed(); ++j) {
        if (nextScale != 0) {
            const int32_t delta = reader.se();
            if (delta < -128 || delta > 127) {
                reader.fail();
                return;
            }
            nextScale = (lastScale + delta + 256) % 256;
        }
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
}

void skipH264Hrd(BitReader& reader) {
    const uint32_t cpbCount = reader.ue() + 1;
    if (cpbCount > 32) {
        reader.fail();
        return;
    }
    reader.skip(8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < cpbCount; ++i) {
        reader.ue();
        reader.ue();
        reader.skip(1);
    }
    reader.skip(20);  // four 5-bit delay and length fields
}

// A decoded picture buffer holds at most this many pictures; no window is larger.
constexpr uint32_t kMaxDecodedPictures = 16;
constexpr uint8_t kBaselineProfile = 66;

// Reads the VUI up to its end; `reorderWindow` gets what its bitstream restriction says.
void readH264Vui(BitReader& reader, int& reorderWindow) {
    if (reader.flag() && reader.bits(8) == 255) {  // aspect_ratio_idc: extended SAR
        reader.skip(32);
    }
    if (reader.flag()) {  // overscan_info_present_flag
        reader.skip(1);
    }
    if (reader.flag()) {  // video_signal_type_present_flag
        reader.skip(4);
        if (reader.flag()) {
            reader.skip(24);
        }
    }
    if (reader.flag()) {  // chroma_loc_info_present_flag
        reader.ue();
        reader.ue();
    }
    if (reader.flag()) {  // timing_info_present_flag
        reader.skip(65);
    }
    const bool nalHrd = reader.flag();
    if (nalHrd) {
        skipH264Hrd(reader);
    }
    const bool vclHrd = reader.flag();
    if (vclHrd) {
        skipH264Hrd(reader);
    }
    if (nalHrd || vclHrd) {
        reader.skip(1);  // low_delay_hrd_flag
    }
    reader.skip(1);       // pic_struct_present_flag
    if (reader.flag()) {  // bitstream_restriction_flag
        reader.skip(1);
        for (int i = 0; i < 4; ++i) {
            reader.ue();
        }
        const uint32_t maxNumReorderFrames = reader.ue();
        reader.ue();  // max_dec_frame_buffering
        reorderWindow = int(std::min(maxNumReorderFrames, kMaxDecodedPictures));
    }
}

// Chroma subsampling factors of a chroma_format_idc: {horizontal, vertical}.
std::pair<int, int> chromaSubsampling(int chromaFormat) {
    switch (chromaFormat) {
        case 1:
            return {2, 2};
        case 2:
            return {2, 1};
        default:
            return {1, 1};
    }
}

bool applyCropping(SequenceInfo& info, uint32_t codedWidth, uint32_t codedHeight, uint64_t cropX,
                   uint64_t cropY) {
    if (codedWidth == 0 || codedHeight == 0 || codedWidth > kMaxPictureSide ||
        codedHeight > kMaxPictureSide || cropX >= codedWidth || cropY >= codedHeight) {
        return false;
    }
    info.codedWidth = int(codedWidth);
    info.codedHeight = int(codedHeight);
    info.displayWidth = int(codedWidth - cropX);
    info.displayHeight = int(codedHeight - cropY);
    return true;
}

// Returns false when the H.264 SPS fields before the picture size are out of range.
bool readH264FormatFields(BitReader& reader, SequenceInfo& info) {
    const uint32_t profileIdc = reader.bits(8);
    reader.skip(16);  // constraint flags, level_idc
    info.id = reader.ue();
    if (info.id > 31) {
        return false;
    }
    if (hasHighProfileFields(profileIdc)) {
        info.chromaFormat = int(reader.ue());
        if (info.chromaFormat > 3) {
            return false;
        }
        info.separateColourPlane = info.chromaFormat == 3 && reader.flag();
        const uint32_t lumaDepthMinus8 = reader.ue();
        const uint32_t chromaDepthMinus8 = reader.ue();
        if (lumaDepthMinus8 > 6 || chromaDepthMinus8 > 6) {
            return false;
        }
        info.bitDepthLuma = int(lumaDepthMinus8) + 8;
        info.bitDepthChroma = int(chromaDepthMinus8) + 8;
        reader.skip(1);       // qpprime_y_zero_transform_bypass_flag
        if (reader.flag()) {  // seq_scaling_matrix_present_flag
            const int lists = info.chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                if (reader.flag()) {
                    skipH264ScalingList(reader, i < 6 ? 16 : 64);
                }
            }
        }
    }
    const uint32_t log2MaxFrameNumMinus4 = reader.ue();
    if (log2MaxFrameNumMinus4 > 12) {
        return false;
    }
    info.log2MaxFrameNum = int(log2MaxFrameNumMinus4) + 4;
    const uint32_t pocType = reader.ue();
    if (pocType == 0) {
        return reader.ue() <= 12;  // log2_max_pic_order_cnt_lsb_minus4
    }
    if (pocType == 1) {
        reader.skip(1);
        reader.se();
        reader.se();
        const uint32_t cycle = reader.ue();
        if (cycle > 255) {
            return false;
        }
        for (uint32_t i = 0; i < cycle; ++i) {
            reader.se();
        }
        return true;
    }
    return pocType == 2;
}

// profile_tier_level with profilePresentFlag 1; keeps the 12 general bytes.
void readHevcProfileTierLevel(BitReader& reader, int maxSubLayersMinus1, SequenceInfo& info) {
    info.profileTierLevel.clear();
    for (int i = 0; i < 12; ++i) {
        info.profileTierLevel.push_back(uint8_t(reader.bits(8)));
    }
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = reader.flag();
        levelPresent[i] = reader.flag();
    }
    if (maxSubLayersMinus1 > 0) {
        reader.skip(size_t(2 * (8 - maxSubLayersMinus1)));
    }
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        reader.skip(profilePresent[i] ? 88 : 0);
        reader.skip(levelPresent[i] ? 8 : 0);
    }
}

}  // namespace

uint32_t BitReader::bit() {
    if (position_ >= bytes_.size() * 8) {
        failed_ = true;
        return 0;
    }
    const uint32_t value = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1;
    ++position_;
    return value;
}

uint32_t BitReader::bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 1) | bit();
    }
    return value;
}

void BitReader::skip(size_t count) {
    for (size_t i = 0; i < count && !failed_; ++i) {
        bit();
    }
}

uint32_t BitReader::ue() {
    int leadingZeros = 0;
    while (bit() == 0) {
        if (failed_ || ++leadingZeros > 31) {
            failed_ = true;
            return 0;
        }
    }
    return uint32_t((uint64_t(1) << leadingZeros) - 1 + bits(leadingZeros));
}

int32_t BitReader::se() {
    const uint32_t code = ue();
    return (code & 1) ? int32_t((code + 1) / 2) : -int32_t(code / 2);
}

bool BitReader::atTrailingBits() {
    if (bit() != 1 || failed_) {
        return false;
    }
    while (position_ < bytes_.size() * 8) {
        if (bit() != 0) {
            return false;
        }
    }
    return true;
}

size_t lengthWithoutTrailingZeros(const uint8_t* nal, size_t size) {
    while (size > 0 && nal[size - 1] == 0) {
        --size;
    }
    return size;
}

std::vector<uint8_t> unescapeRbsp(const uint8_t* payload, size_t size, size_t limit) {
    std::vector<uint8_t> rbsp;
    rbsp.reserve(std::min(size, limit));
    int zeros = 0;
    for (size_t i = 0; i < size && rbsp.size() < limit; ++i) {
        if (zeros >= 2 && payload[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = payload[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(payload[i]);
    }
    return rbsp;
}

std::optional<SequenceInfo> parseH264Sps(const uint8_t* nal, size_t size) {
    std::optional<BitReader> reader = h264Payload(nal, size, kH264SpsType);
    SequenceInfo info;
    if (!reader || !readH264FormatFields(*reader, info)) {
        return std::nullopt;
    }
    if (nal[1] == kBaselineProfile) {
        info.reorderWindow = 0;
    }
    reader->ue();  // max_num_ref_frames
    info.gapsInFrameNumAllowed = reader->flag();
    const uint32_t widthInMbs = reader->ue() + 1;
    const uint32_t heightInMapUnits = reader->ue() + 1;
    const bool frameMbsOnly = reader->flag();
    if (!frameMbsOnly) {
        reader->skip(1);  // mb_adaptive_frame_field_flag
    }
    reader->skip(1);  // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};
    if (reader->flag()) {
        for (uint32_t& offset : crop) {
            offset = reader->ue();
        }
    }
    if (reader->flag()) {
        readH264Vui(*reader, info.reorderWindow);
    }
    if (reader->failed() || !reader->atTrailingBits() || widthInMbs > kMaxPictureSide / 16 ||
        heightInMapUnits > kMaxPictureSide / 16) {
        return std::nullopt;
    }
    const int arrayType = info.separateColourPlane ? 0 : info.chromaFormat;
    const auto [subWidth, subHeight] = chromaSubsampling(arrayType);
    const uint64_t cropUnitX = arrayType == 0 ? 1 : subWidth;
    const uint64_t cropUnitY = (arrayType == 0 ? 1 : subHeight) * (frameMbsOnly ? 1 : 2);
    const uint32_t codedHeight = heightInMapUnits * 16 * (frameMbsOnly ? 1 : 2);
    if (!applyCropping(info, widthInMbs * 16, codedHeight,
                       cropUnitX * (uint64_t(crop[0]) + crop[1]),
                       cropUnitY * (uint64_t(crop[2]) + crop[3]))) {
        return std::nullopt;
    }
    return info;
}

std::optional<PictureSetIds> parseH264Pps(const uint8_t* nal, size_t size) {
    std::optional<BitReader> reader = h264Payload(nal, size, kH264PpsType);
    if (!reader) {
        return std::nullopt;
    }
    PictureSetIds ids;
    ids.id = reader->ue();
    ids.sequenceId = reader->ue();
    if (reader->failed() || ids.id > 255 || ids.sequenceId > 31) {
        return std::nullopt;
    }
    return ids;
}

bool isValidH264Pps(const uint8_t* nal, size_t size) {
    return parseH264Pps(nal, size).has_value();
}

std::optional<SequenceInfo> parseHevcSps(const uint8_t* nal, size_t size) {
    std::optional<BitReader> reader = hevcPayload(nal, size, kHevcSpsType);
    if (!reader) {
        return std::nullopt;
    }
    SequenceInfo info;
    reader->skip(4);  // sps_video_parameter_set_id
    const int maxSubLayersMinus1 = int(reader->bits(3));
    reader->skip(1);  // sps_temporal_id_nesting_flag
    if (maxSubLayersMinus1 > 6) {
        return std::nullopt;
    }
    readHevcProfileTierLevel(*reader, maxSubLayersMinus1, info);
    info.id = reader->ue();
    if (info.id > 15) {
        return std::nullopt;
    }
    info.chromaFormat = int(reader->ue());
    if (info.chromaFormat > 3) {
        return std::nullopt;
    }
    info.separateColourPlane = info.chromaFormat == 3 && reader->flag();
    const uint32_t codedWidth = reader->ue();
    const uint32_t codedHeight = reader->ue();
    uint32_t window[4] = {0, 0, 0, 0};
    if (reader->flag()) {  // conformance_window_flag
        for (uint32_t& offset : window) {
            offset = reader->ue();
        }
    }
    // bit_depth_*_minus8 go up to 8; anything larger is not a stream a decoder can take.
    const uint32_t lumaDepthMinus8 = reader->ue();
    const uint32_t chromaDepthMinus8 = reader->ue();
    if (lumaDepthMinus8 > 8 || chromaDepthMinus8 > 8) {
        return std::nullopt;
    }
    info.bitDepthLuma = int(lumaDepthMinus8) + 8;
    info.bitDepthChroma = int(chromaDepthMinus8) + 8;
    const uint32_t log2MaxPocLsbMinus4 = reader->ue();
    const bool orderingInfoForAll = reader->flag();
    for (int i = orderingInfoForAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        reader->ue();  // sps_max_dec_pic_buffering_minus1
        info.reorderWindow = int(std::min(reader->ue(), kMaxDecodedPictures));
        reader->ue();  // sps_max_latency_increase_plus1
    }
    const uint32_t log2MinCodingBlock = reader->ue() + 3;
    const uint32_t log2CodingBlockRange = reader->ue();
    if (reader->failed() || info.bitDepthLuma > 16 || info.bitDepthChroma > 16 ||
        log2MaxPocLsbMinus4 > 12 || log2MinCodingBlock > 6 ||
        log2MinCodingBlock + log2CodingBlockRange > 6) {
        return std::nullopt;
    }
    const uint32_t minCodingBlock = 1u << log2MinCodingBlock;
    if (codedWidth % minCodingBlock != 0 || codedHeight % minCodingBlock != 0) {
        return std::nullopt;
    }
    const auto [subWidth, subHeight] =
        chromaSubsampling(info.separateColourPlane ? 0 : info.chromaFormat);
    if (!applyCropping(info, codedWidth, codedHeight,
                       uint64_t(subWidth) * (uint64_t(window[0]) + window[1]),
                       uint64_t(subHeight) * (uint64_t(window[2]) + window[3]))) {
        return std::nullopt;
    }
    return info;
}

bool isValidHevcVps(const uint8_t* nal, size_t size) {
    std::optional<BitReader> reader = hevcPayload(nal, size, kHevcVpsType);
    if (!reader) {
        return false;
    }
    reader->skip(4);  // vps_video_parameter_set_id
    const uint32_t reservedThreeBits = reader->bits(2);
    reader->skip(6 + 3 + 1);  // max layers, max sub-layers, temporal id nesting
    const uint32_t reservedAllOnes = reader->bits(16);
    return !reader->failed() && reservedThreeBits == 3 && reservedAllOnes == 0xffff;
}

bool isValidHevcPps(const uint8_t* nal, size_t size) {
    std::optional<BitReader> reader = hevcPayload(nal, size, kHevcPpsType);
    if (!reader) {
        return false;
    }
    const uint32_t ppsId = reader->ue();
    const uint32_t spsId = reader->ue();
    return !reader->failed() && ppsId <= 63 && spsId <= 15;
}

std::optional<uint32_t> parameterSetId(const uint8_t* nal, size_t size, bool h265) {
    size = lengthWithoutTrailingZeros(nal, size);
    if (size < 2) {
        return std::nullopt;
    }
    if (!h265) {
        if ((nal[0] & 0x1f) == kH264SpsType) {
            const std::optional<SequenceInfo> info = parseH264Sps(nal, size);
            return info ? std::optional<uint32_t>(info->id) : std::nullopt;
        }
        const std::optional<PictureSetIds> ids = parseH264Pps(nal, size);
        return ids ? std::optional<uint32_t>(ids->id) : std::nullopt;
    }
    switch ((nal[0] >> 1) & 0x3f) {
        case kHevcVpsType:
            return isValidHevcVps(nal, size) ? std::optional<uint32_t>(nal[2] >> 4) : std::nullopt;
        case kHevcSpsType: {
            const std::optional<SequenceInfo> info = parseHevcSps(nal, size);
            return info ? std::optional<uint32_t>(info->id) : std::nullopt;
        }
        case kHevcPpsType: {
            std::optional<BitReader> reader = hevcPayload(nal, size, kHevcPpsType);
            const uint32_t id = reader ? reader->ue() : 0;
            return reader && isValidHevcPps(nal, size) ? std::optional<uint32_t>(id) : std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace parametersets
