// The names that the decode logs give H.265 SEI payloads.
#include "H264HwDecoderImpl.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// An H.265 SEI payload is named by where it may stand: payloads of the same syntax in prefix and
// suffix SEI alike in any NAL unit, suffix SEI (type 40) only the picture hash, and every other
// NAL unit type as prefix SEI. What is not named is reserved.
TEST(NaluNamesTest, H265SeiPayloadsAreNamedByWhereTheyMayStand) {
    const struct {
        std::vector<int32_t> nalTypes;
        std::vector<uint32_t> payloads;
        const char* names;  // of the payloads in order; one name, of them all
    } rows[] = {
        {{39, 40, 0, -1},
         {3, 4, 5, 17, 22},
         "filler_payload user_data_registered_itu_t_t35 user_data_unregistered "
         "progressive_refinement_segment_end post_filter_hint"},
        {{40}, {132}, "decoded_picture_hash"},
        {{40}, {0, 1, 6, 45, 128, 131, 134, 4294967295u}, "reserved_sei_message"},
        {{39, 0, 41, -40},
         {0, 1, 2, 6, 9, 15, 16, 19, 23, 45, 47, 128, 129, 130, 131, 133, 134},
         "buffering_period pic_timing pan_scan_rect recovery_point scene_info picture_snapshot "
         "progressive_refinement_segment_start film_grain_characteristics tone_mapping_info "
         "frame_packing_arrangement display_orientation structure_of_pictures_info "
         "active_parameter_sets decoding_unit_info temporal_sub_layer_zero_index scalable_nesting "
         "region_refresh_info"},
        {{39}, {7, 8, 46, 132, 135, 4294967295u}, "reserved_sei_message"},
    };
    const H264HwDecoderImpl handler;
    for (const auto& row : rows) {
        std::istringstream words(row.names);
        std::vector<std::string> names{std::istream_iterator<std::string>(words), {}};
        names.resize(row.payloads.size(), names.back());
        for (const int32_t nalType : row.nalTypes) {
            for (size_t i = 0; i < row.payloads.size(); ++i) {
                EXPECT_EQ(handler.GetH265SEIDescription(row.payloads[i], nalType), names[i])
                    << row.payloads[i] << " in NAL unit type " << nalType;
            }
        }
    }
}

}  // namespace
