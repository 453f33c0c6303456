// Access units of the committed clips, split as a host hands them over (see AnnexBSplitter.h).
#pragma once

#include "Fixtures.h"

#include <cstdint>
#include <vector>

namespace testsupport {

using AccessUnit = std::vector<uint8_t>;

// Every access unit of the clip in order, start codes included. The parser is drained at the
// end of input, so the last access unit is not lost.
std::vector<AccessUnit> readAccessUnits(const FixtureClip& clip);

}  // namespace testsupport
