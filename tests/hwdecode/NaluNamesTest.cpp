// The names that the decode logs give NAL unit types and SEI payloads.
#include "H264HwDecoderImpl.h"
#include "NaluNames.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

// Every row reads "index:" and its description, in index order; the indices of one range are
// followed by two spaces where that lines the column up.
TEST(NaluNamesTest, EveryRowStartsWithItsIndex) {
    const struct {
        const char* name;
        const char* const* rows;
        size_t size;
        size_t firstWide;
        size_t endWide;
    } tables[] = {
        {"H.264 NAL unit types", naluTypesStrings264, std::size(naluTypesStrings264), 0, 10},
        {"H.265 NAL unit types", naluTypesStrings265, std::size(naluTypesStrings265), 32, 42},
        {"H.264 SEI payload types", sei_payloadType_description_h264,
         std::size(sei_payloadType_description_h264), 0, 10},
    };
    for (const auto& table : tables) {
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

// An H.265 SEI payload is named by where it may stand: payloads of the same syntax in prefix and
// suffix SEI alike in any NAL unit, suffix SEI (type 40) only the picture hash, and every other
// NAL unit type as prefix SEI. What is not named is reserved.
TEST(NaluNamesTest, H265SeiPayloadsAreNamedByWhereTheyMayStand) {
    constexpr const char* kReserved = "reserved_sei_message";
    const struct {
        std::vector<int32_t> nalTypes;
        std::vector<std::pair<uint32_t, const char*>> names;
    } rows[] = {
        {{39, 40, 0, -1},
         {{3, "filler_payload"},
          {4, "user_data_registered_itu_t_t35"},
          {5, "user_data_unregistered"},
          {17, "progressive_refinement_segment_end"},
          {22, "post_filter_hint"}}},
        {{40},
         {{132, "decoded_picture_hash"},
          {0, kReserved},
          {1, kReserved},
          {6, kReserved},
          {45, kReserved},
          {128, kReserved},
          {131, kReserved},
          {134, kReserved},
          {4294967295u, kReserved}}},
        {{39, 0, 41, -40},
         {{0, "buffering_period"},
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
          {7, kReserved},
          {46, kReserved},
          {132, kReserved},
          {135, kReserved},
          {4294967295u, kReserved}}},
    };
    const H264HwDecoderImpl handler;
    for (const auto& row : rows) {
        for (const int32_t nalType : row.nalTypes) {
            for (const auto& [payload, name] : row.names) {
                EXPECT_STREQ(handler.GetH265SEIDescription(payload, nalType), name)
                    << payload << " in NAL unit type " << nalType;
            }
        }
    }
}

}  // namespace
