#include "NaluNames.h"

#include "H264HwDecoderImpl.h"

const char* const naluTypesStrings264[32] = {
    "0:  Unspecified (non-VCL)",
    "1:  Coded slice of a non-IDR picture (VCL)",
    "2:  Coded slice data partition A (VCL)",
    "3:  Coded slice data partition B (VCL)",
    "4:  Coded slice data partition C (VCL)",
    "5:  Coded slice of an IDR picture (VCL)",
    "6:  Supplemental enhancement information (SEI) (non-VCL)",
    "7:  Sequence parameter set (non-VCL)",
    "8:  Picture parameter set (non-VCL)",
    "9:  Access unit delimiter (non-VCL)",
    "10: End of sequence (non-VCL)",
    "11: End of stream (non-VCL)",
    "12: Filler data (non-VCL)",
    "13: Sequence parameter set extension (non-VCL)",
    "14: Prefix NAL unit (non-VCL)",
    "15: Subset sequence parameter set (non-VCL)",
    "16: Reserved (non-VCL)",
    "17: Reserved (non-VCL)",
    "18: Reserved (non-VCL)",
    "19: Coded slice of an auxiliary coded picture without partitioning (non-VCL)",
    "20: Coded slice extension (non-VCL)",
    "21: Coded slice extension for depth view components (non-VCL)",
    "22: Reserved (non-VCL)",
    "23: Reserved (non-VCL)",
    "24: STAP-A Single-time aggregation packet (non-VCL)",
    "25: STAP-B Single-time aggregation packet (non-VCL)",
    "26: MTAP16 Multi-time aggregation packet (non-VCL)",
    "27: MTAP24 Multi-time aggregation packet (non-VCL)",
    "28: FU-A Fragmentation unit (non-VCL)",
    "29: FU-B Fragmentation unit (non-VCL)",
    "30: Unspecified (non-VCL)",
    "31: Unspecified (non-VCL)",
};

const char* const naluTypesStrings265[64] = {
    "0: Coded slice segment of a non-TSA, non-STSA trailing picture",
    "1: Coded slice segment of a non-TSA, non-STSA trailing picture",
    "2: Coded slice segment of a TSA picture",
    "3: Coded slice segment of a TSA picture",
    "4: Coded slice segment of a STSA picture",
    "5: Coded slice segment of a STSA picture",
    "6: Coded slice segment of a RADL picture",
    "7: Coded slice segment of a RADL picture",
    "8: Coded slice segment of a RASL picture",
    "9: Coded slice segment of a RASL picture",
    "10: Reserved",
    "11: Reserved",
    "12: Reserved",
    "13: Reserved",
    "14: Reserved",
    "15: Reserved",
    "16: Coded slice segment of a BLA picture",
    "17: Coded slice segment of a BLA picture",
    "18: Coded slice segment of a BLA picture",
    "19: Coded slice segment of an IDR picture",
    "20: Coded slice segment of an IDR picture",
    "21: Coded slice segment of a CRA picture",
    "22: Reserved",
    "23: Reserved",
    "24: Reserved",
    "25: Reserved",
    "26: Reserved",
    "27: Reserved",
    "28: Reserved",
    "29: Reserved",
    "30: Reserved",
    "31: Reserved",
    "32:  Video parameter set",
    "33:  Sequence parameter set",
    "34:  Picture parameter set",
    "35:  Access unit delimiter",
    "36:  End of sequence",
    "37:  End of bitstream",
    "38:  Filler data",
    "39:  Supplemental enhancement information (SEI)",
    "40:  Supplemental enhancement information (SEI)",
    "41:  Reserved",
    "42: Reserved",
    "43: Reserved",
    "44: Reserved",
    "45: Reserved",
    "46: Reserved",
    "47: Reserved",
    "48: Unspecified",
    "49: Unspecified",
    "50: Unspecified",
    "51: Unspecified",
    "52: Unspecified",
    "53: Unspecified",
    "54: Unspecified",
    "55: Unspecified",
    "56: Unspecified",
    "57: Unspecified",
    "58: Unspecified",
    "59: Unspecified",
    "60: Unspecified",
    "61: Unspecified",
    "62: Unspecified",
    "63: Unspecified",
};

const char* const sei_payloadType_description_h264[47] = {
    "0:  buffering_period",
    "1:  pic_timing",
    "2:  pan_scan_rect",
    "3:  filler_payload",
    "4:  user_data_registered_itu_t_t35",
    "5:  user_data_unregistered",
    "6:  recovery_point",
    "7:  dec_ref_pic_marking_repetition",
    "8:  spare_pic",
    "9:  scene_info",
    "10: sub_seq_info",
    "11: sub_seq_layer_characteristics",
    "12: sub_seq_characteristics",
    "13: full_frame_freeze",
    "14: full_frame_freeze_release",
    "15: full_frame_snapshot",
    "16: progressive_refinement_segment_start",
    "17: progressive_refinement_segment_end",
    "18: motion_constrained_slice_group_set",
    "19: film_grain_characteristics",
    "20: deblocking_filter_display_preference",
    "21: stereo_video_info",
    "22: post_filter_hint",
    "23: tone_mapping_info",
    "24: scalability_info",
    "25: sub_pic_scalable_layer",
    "26: non_required_layer_rep",
    "27: priority_layer_info",
    "28: layers_not_present",
    "29: layer_dependency_change",
    "30: scalable_nesting",
    "31: base_layer_temporal_hrd",
    "32: quality_layer_integrity_check",
    "33: redundant_pic_property",
    "34: tl0_dep_rep_index",
    "35: tl_switching_point",
    "36: parallel_decoding_info",
    "37: mvc_scalable_nesting",
    "38: view_scalability_info",
    "39: multiview_scene_info",
    "40: multiview_acquisition_info",
    "41: non_required_view_component",
    "42: view_dependency_change",
    "43: operation_points_not_present",
    "44: base_view_temporal_hrd",
    "45: frame_packing_arrangement",
    "46: reserved_sei_message",
};

namespace {

constexpr int32_t kSuffixSeiNalUnitType = 40;
constexpr const char* kReservedSeiMessage = "reserved_sei_message";

// Payload types whose syntax is the same in prefix and suffix SEI.
const char* anySeiPayloadName(uint32_t payloadType) {
    switch (payloadType) {
        case 3:
            return "filler_payload";
        case 4:
            return "user_data_registered_itu_t_t35";
        case 5:
            return "user_data_unregistered";
        case 17:
            return "progressive_refinement_segment_end";
        case 22:
            return "post_filter_hint";
        default:
            return nullptr;
    }
}

const char* suffixSeiPayloadName(uint32_t payloadType) {
    return payloadType == 132 ? "decoded_picture_hash" : kReservedSeiMessage;
}

const char* prefixSeiPayloadName(uint32_t payloadType) {
    switch (payloadType) {
        case 0:
            return "buffering_period";
        case 1:
            return "pic_timing";
        case 2:
            return "pan_scan_rect";
        case 6:
            return "recovery_point";
        case 9:
            return "scene_info";
        case 15:
            return "picture_snapshot";
        case 16:
            return "progressive_refinement_segment_start";
        case 19:
            return "film_grain_characteristics";
        case 23:
            return "tone_mapping_info";
        case 45:
            return "frame_packing_arrangement";
        case 47:
            return "display_orientation";
        case 128:
            return "structure_of_pictures_info";
        case 129:
            return "active_parameter_sets";
        case 130:
            return "decoding_unit_info";
        case 131:
            return "temporal_sub_layer_zero_index";
        case 133:
            return "scalable_nesting";
        case 134:
            return "region_refresh_info";
        default:
            return kReservedSeiMessage;
    }
}

}  // namespace

const char* H264HwDecoderImpl::GetH265SEIDescription(uint32_t payloadType, int32_t withNAL) const {
    if (const char* name = anySeiPayloadName(payloadType)) {
        return name;
    }
    return withNAL == kSuffixSeiNalUnitType ? suffixSeiPayloadName(payloadType)
                                            : prefixSeiPayloadName(payloadType);
}
