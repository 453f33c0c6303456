// What tests look at inside an instance: its configuration and its sample queue.
#pragma once

#include "H264Decoder.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

class H264DecoderInspector {
  public:
    static int32_t videoDelayTimeInMs(const H264Decoder& decoder) {
        return decoder.videoDelayTimeInMs;
    }
    static size_t queuedSamples(H264Decoder& decoder) {
        std::lock_guard<std::mutex> lock(decoder.queueMutex);
        return decoder.sampleQueue.size();
    }
    static std::mutex& queueMutex(H264Decoder& decoder) { return decoder.queueMutex; }
};
