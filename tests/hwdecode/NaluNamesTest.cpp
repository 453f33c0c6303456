// The diagnostic naming tables, row by row, and the H.265 SEI payload naming rules.
#include "H264HwDecoderImpl.h"
#include "NaluNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Table {
    const char* name;
    const char* const* rows;
    size_t size;
    // Rows whose index is followed by two spaces, the rest by one: the columns line up.
    size_t firstWide;
    size_t endWide;
};

const Table kTables[] = {
    {"H.264 NAL unit types", naluTypesStrings264, std::size(naluTypesStrings264), 0, 10},
    {"H.265 NAL unit types", naluTypesStrings265, std::size(naluTypesStrings265), 32, 42},
    {"H.264 SEI payload types", sei_payloadType_description_h264,
     std::size(sei_payloadType_description_h264), 0, 10},
};

// Every row reads "index:" and its description, in index order, aligned as the table is.
TEST(NaluNamesTest, EveryRowStartsWithItsIndex) {
    for (const Table& table : kTables) {
        for (size_t i = 0; i < table.size; ++i) {
            const bool wide = i >= table.firstWide && i < table.endWide;
            const std::string prefix = std::to_string(i) + (wide ? ":  " : ": ");
            const std::string row = table.rows[i];
            EXPECT_EQ(row.compare(0, prefix.size(), prefix), 0) << table.name << ": " << row;
            EXPECT_GT(row.size(), prefix.size() + 1) << table.name << ": " << row;
            EXPECT_NE(row[prefix.size()], ' ') << table.name << ": " << row;
        }
    }
}

// The rows a reader of a log meets most, and the ends of each range of the standards.
TEST(NaluNamesTest, NamesTheTypesAsTheStandardsDo) {
    const struct {
        const char* const* table;
        size_t index;
        const char* row;
    } rows[] = {
        {naluTypesStrings264, 1, "1:  Coded slice of a non-IDR picture (VCL)"},
        {naluTypesStrings264, 5, "5:  Coded slice of an IDR picture (VCL)"},
        {naluTypesStrings264, 7, "7:  Sequence parameter set (non-VCL)"},
        {naluTypesStrings264, 10, "10: End of sequence (non-VCL)"},
        {naluTypesStrings264, 24, "24: STAP-A Single-time aggregation packet (non-VCL)"},
        {naluTypesStrings265, 0, "0: Coded slice segment of a non-TSA, non-STSA trailing picture"},
        {naluTypesStrings265, 9, "9: Coded slice segment of a RASL picture"},
        {naluTypesStrings265, 15, "15: Reserved"},
        {naluTypesStrings265, 18, "18: Coded slice segment of a BLA picture"},
        {naluTypesStrings265, 21, "21: Coded slice segment of a CRA picture"},
        {naluTypesStrings265, 32, "32:  Video parameter set"},
        {naluTypesStrings265, 40, "40:  Supplemental enhancement information (SEI)"},
        {naluTypesStrings265, 41, "41:  Reserved"},
        {naluTypesStrings265, 63, "63: Unspecified"},
        {sei_payloadType_description_h264, 0, "0:  buffering_period"},
        {sei_payloadType_description_h264, 6, "6:  recovery_point"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(row.table[row.index], row.row);
    }
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
