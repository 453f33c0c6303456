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

}  // namespace testsupport
