// The process-wide registry of decoder instances. h264_execMutex guards h264_execs and every use
// of an instance reached through it; whoever holds it may take an instance's texMutex, never the
// other way round. Nothing that runs on a decode thread or a decode output thread may take it:
// stopping an instance joins its decode thread with the lock held.
#pragma once

#include "H264Decoder.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// Ascending decoder id order: the render event uploads in that order.
extern std::map<uint8_t, std::unique_ptr<H264Decoder>> h264_execs;
extern std::mutex h264_execMutex;
