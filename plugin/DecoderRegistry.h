// The process-wide registry of decoder instances. h264_execMutex guards h264_execs only, and is
// held for O(1) work: finding, entering or removing an entry. Every other use of an instance runs
// on a reference taken under it, without it, so that no host thread waits for another's decode,
// upload, start or stop. An id that is being started is entered with no instance yet.
#pragma once

#include "H264Decoder.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// Ascending decoder id order: the render event uploads in that order.
extern std::map<uint8_t, std::shared_ptr<H264Decoder>> h264_execs;
extern std::mutex h264_execMutex;
