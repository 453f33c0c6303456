#include "AnnexB.h"

#include "AnnexBSplitter.h"

namespace testsupport {

std::vector<AccessUnit> splitAccessUnits(const std::vector<uint8_t>& stream, Codec codec) {
    return annexb::splitAccessUnits(
        stream.data(), stream.size(),
        codec == Codec::H265 ? annexb::StreamCodec::H265 : annexb::StreamCodec::H264);
}

std::vector<AccessUnit> readAccessUnits(const FixtureClip& clip) {
    return splitAccessUnits(readFileBytes(clip.path()), clip.codec);
}

std::vector<int> nalUnitTypes(const AccessUnit& unit, Codec codec) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            const uint8_t header = unit[i + 3];
            types.push_back(codec == Codec::H265 ? (header >> 1) & 0x3f : header & 0x1f);
            i += 2;
        }
    }
    return types;
}

}  // namespace testsupport
