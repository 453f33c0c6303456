#include "AnnexB.h"

#include "AnnexBSplitter.h"

namespace testsupport {

std::vector<AccessUnit> readAccessUnits(const FixtureClip& clip) {
    const std::vector<uint8_t> stream = readFileBytes(clip.path());
    return annexb::splitAccessUnits(
        stream.data(), stream.size(),
        clip.codec == Codec::H265 ? annexb::StreamCodec::H265 : annexb::StreamCodec::H264);
}

}  // namespace testsupport
