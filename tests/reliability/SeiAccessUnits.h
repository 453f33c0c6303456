// H.264 access units carrying a large user data SEI message, as some encoders and streaming
// servers send them: the decoder must carry them without growing or slowing down.
#pragma once

#include "AnnexB.h"

#include <cstddef>

namespace reliability {

// The access unit with one SEI NAL unit (type 6) holding a user_data_unregistered message
// (payload type 5) of `payloadBytes` bytes inserted before its first slice. The payload holds no
// zero bytes, so it needs no emulation prevention.
testsupport::AccessUnit withUserDataSei(const testsupport::AccessUnit& unit, size_t payloadBytes);

}  // namespace reliability
