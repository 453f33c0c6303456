// The diagnostic naming tables, row by row, and the H.265 SEI payload naming rules.
#include "H264HwDecoderImpl.h"
#include "NaluNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

// "index:" and the description, two spaces after the colon where `wide` says so, else one.
std::string row(size_t index, const std::string& description, bool wide) {
    return std::to_string(index) + (wide ? ":  " : ": ") + description;
}

// Two spaces after one-digit indexes, one after longer ones.
std::vector<std::string> digitSpacedRows(const std::vector<std::string>& descriptions) {
    std::vector<std::string> rows;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        rows.push_back(row(i, descriptions[i], i < 10));
    }
    return rows;
}

void expectTable(const char* const* table, const std::vector<std::string>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_STREQ(table[i], rows[i].c_str()) << "row " << i;
    }
}

TEST(NaluNamesTest, H264NalUnitTypes) {
    const std::vector<std::string> descriptions = {
        "Unspecified (non-VCL)",
        "Coded slice of a non-IDR picture (VCL)",
        "Coded slice data partition A (VCL)",
        "Coded slice data partition B (VCL)",
        "Coded slice data partition C (VCL)",
        "Coded slice of an IDR picture (VCL)",
        "Supplemental enhancement information (SEI) (non-VCL)",
        "Sequence parameter set (non-VCL)",
        "Picture parameter set (non-VCL)",
        "Access unit delimiter (non-VCL)",
        "End of sequence (non-VCL)",
        "End of stream (non-VCL)",
        "Filler data (non-VCL)",
        "Sequence parameter set extension (non-VCL)",
        "Prefix NAL unit (non-VCL)",
        "Subset sequence parameter set (non-VCL)",
        "Reserved (non-VCL)",
        "Reserved (non-VCL)",
        "Reserved (non-VCL)",
        "Coded slice of an auxiliary coded picture without partitioning (non-VCL)",
        "Coded slice extension (non-VCL)",
        "Coded slice extension for depth view components (non-VCL)",
        "Reserved (non-VCL)",
        "Reserved (non-VCL)",
        "STAP-A Single-time aggregation packet (non-VCL)",
        "STAP-B Single-time aggregation packet (non-VCL)",
        "MTAP16 Multi-time aggregation packet (non-VCL)",
        "MTAP24 Multi-time aggregation packet (non-VCL)",
        "FU-A Fragmentation unit (non-VCL)",
        "FU-B Fragmentation unit (non-VCL)",
        "Unspecified (non-VCL)",
        "Unspecified (non-VCL)",
    };
    ASSERT_EQ(descriptions.size(), std::size(naluTypesStrings264));
    expectTable(naluTypesStrings264, digitSpacedRows(descriptions));
    EXPECT_STREQ(naluTypesStrings264[7], "7:  Sequence parameter set (non-VCL)");
    EXPECT_STREQ(naluTypesStrings264[10], "10: End of sequence (non-VCL)");
}

TEST(NaluNamesTest, H265NalUnitTypes) {
    std::vector<std::string> descriptions(64);
    const auto fill = [&](size_t first, size_t last, const std::string& text) {
        for (size_t i = first; i <= last; ++i) {
            descriptions[i] = text;
        }
    };
    fill(0, 1, "Coded slice segment of a non-TSA, non-STSA trailing picture");
    fill(2, 3, "Coded slice segment of a TSA picture");
    fill(4, 5, "Coded slice segment of a STSA picture");
    fill(6, 7, "Coded slice segment of a RADL picture");
    fill(8, 9, "Coded slice segment of a RASL picture");
    fill(10, 15, "Reserved");
    fill(16, 18, "Coded slice segment of a BLA picture");
    fill(19, 20, "Coded slice segment of an IDR picture");
    fill(21, 21, "Coded slice segment of a CRA picture");
    fill(22, 31, "Reserved");
    fill(32, 32, "Video parameter set");
    fill(33, 33, "Sequence parameter set");
    fill(34, 34, "Picture parameter set");
    fill(35, 35, "Access unit delimiter");
    fill(36, 36, "End of sequence");
    fill(37, 37, "End of bitstream");
    fill(38, 38, "Filler data");
    fill(39, 40, "Supplemental enhancement information (SEI)");
    fill(41, 47, "Reserved");
    fill(48, 63, "Unspecified");
    std::vector<std::string> rows;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        rows.push_back(row(i, descriptions[i], i >= 32 && i <= 41));
    }
    ASSERT_EQ(rows.size(), std::size(naluTypesStrings265));
    expectTable(naluTypesStrings265, rows);
    EXPECT_STREQ(naluTypesStrings265[0],
                 "0: Coded slice segment of a non-TSA, non-STSA trailing picture");
    EXPECT_STREQ(naluTypesStrings265[32], "32:  Video parameter set");
    EXPECT_STREQ(naluTypesStrings265[41], "41:  Reserved");
    EXPECT_STREQ(naluTypesStrings265[42], "42: Reserved");
}

TEST(NaluNamesTest, H264SeiPayloadTypes) {
    const std::vector<std::string> names = {
        "buffering_period",
        "pic_timing",
        "pan_scan_rect",
        "filler_payload",
        "user_data_registered_itu_t_t35",
        "user_data_unregistered",
        "recovery_point",
        "dec_ref_pic_marking_repetition",
        "spare_pic",
        "scene_info",
        "sub_seq_info",
        "sub_seq_layer_characteristics",
        "sub_seq_characteristics",
        "full_frame_freeze",
        "full_frame_freeze_release",
        "full_frame_snapshot",
        "progressive_refinement_segment_start",
        "progressive_refinement_segment_end",
        "motion_constrained_slice_group_set",
        "film_grain_characteristics",
        "deblocking_filter_display_preference",
        "stereo_video_info",
        "post_filter_hint",
        "tone_mapping_info",
        "scalability_info",
        "sub_pic_scalable_layer",
        "non_required_layer_rep",
        "priority_layer_info",
        "layers_not_present",
        "layer_dependency_change",
        "scalable_nesting",
        "base_layer_temporal_hrd",
        "quality_layer_integrity_check",
        "redundant_pic_property",
        "tl0_dep_rep_index",
        "tl_switching_point",
        "parallel_decoding_info",
        "mvc_scalable_nesting",
        "view_scalability_info",
        "multiview_scene_info",
        "multiview_acquisition_info",
        "non_required_view_component",
        "view_dependency_change",
        "operation_points_not_present",
        "base_view_temporal_hrd",
        "frame_packing_arrangement",
        "reserved_sei_message",
    };
    ASSERT_EQ(names.size(), std::size(sei_payloadType_description_h264));
    expectTable(sei_payloadType_description_h264, digitSpacedRows(names));
}

class H265SeiDescriptionTest : public ::testing::Test {
  protected:
    std::string name(uint32_t payloadType, int32_t nalType) const {
        return handler_.GetH265SEIDescription(payloadType, nalType);
    }

    H264HwDecoderImpl handler_;
};

TEST_F(H265SeiDescriptionTest, SharedPayloadsAreNamedInEveryNalUnitType) {
    const std::vector<std::pair<uint32_t, std::string>> shared = {
        {3, "filler_payload"},         {4, "user_data_registered_itu_t_t35"},
        {5, "user_data_unregistered"}, {17, "progressive_refinement_segment_end"},
        {22, "post_filter_hint"},
    };
    for (const auto& [payload, expected] : shared) {
        for (const int32_t nal : {39, 40, 0, -1}) {
            EXPECT_EQ(name(payload, nal), expected) << payload << " in NAL type " << nal;
        }
    }
}

TEST_F(H265SeiDescriptionTest, SuffixSeiNamesOnlyThePictureHash) {
    EXPECT_EQ(name(132, 40), "decoded_picture_hash");
    for (const uint32_t payload : {0u, 1u, 6u, 45u, 128u, 131u, 133u, 134u, 4294967295u}) {
        EXPECT_EQ(name(payload, 40), "reserved_sei_message") << payload;
    }
}

TEST_F(H265SeiDescriptionTest, EveryOtherNalUnitTypeReadsAsPrefixSei) {
    const std::vector<std::pair<uint32_t, std::string>> prefix = {
        {0, "buffering_period"},
        {1, "pic_timing"},
        {2, "pan_scan_rect"},
        {6, "recovery_point"},
        {9, "scene_info"},
        {15, "picture_snapshot"},
        {16, "progressive_refinement_segment_start"},
        {19, "film_grain_characteristics"},
        {23, "tone_mapping_info"},
        {45, "frame_packing_arrangement"},
        {47, "display_orientation"},
        {128, "structure_of_pictures_info"},
        {129, "active_parameter_sets"},
        {130, "decoding_unit_info"},
        {131, "temporal_sub_layer_zero_index"},
        {133, "scalable_nesting"},
        {134, "region_refresh_info"},
    };
    for (const auto& [payload, expected] : prefix) {
        for (const int32_t nal : {39, 0, 41, -40}) {
            EXPECT_EQ(name(payload, nal), expected) << payload << " in NAL type " << nal;
        }
    }
    for (const uint32_t payload : {7u, 8u, 46u, 132u, 135u, 4294967295u}) {
        EXPECT_EQ(name(payload, 39), "reserved_sei_message") << payload;
    }
}

}  // namespace
