// What tests look at inside an instance: its configuration and its sample queue.
#pragma once

#include "H264Decoder.h"

#include <cstdint>
#include <mutex>

class H264DecoderInspector {
  public:
    static int32_t videoDelayTimeInMs(const H264Decoder& decoder) {
        return decoder.videoDelayTimeInMs;
    }
    static std::mutex& queueMutex(H264Decoder& decoder) { return decoder.queueMutex; }
};
