// Measuring helpers shared by the benchmark programs.
#pragma once

#include "H264HwDecoderImplDelegate.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration duration);

// The value below which `fraction` of the samples lie (nearest rank); 0 for no samples.
double percentile(std::vector<double> samples, double fraction);

// Frames per second of `ffmpeg -threads 1 -i CLIP -pix_fmt bgra -f null -`, from the ffmpeg
// tool's own -benchmark real time (process start-up excluded); the best of `runs`. 0 when the
// tool cannot be run.
double ffmpegFramesPerSecond(const std::string& clip, int frames, int runs);

// Resident memory of this process in kilobytes.
long residentKilobytes();

// Stands in front of a decode session's delegate and notes when each picture has been handed on
// (for an instance: copied into its frame buffer). With no delegate behind it, it copies each
// picture itself, as an instance would.
class LandingClock : public H264HwDecoderImplDelegate {
  public:
    explicit LandingClock(std::shared_ptr<H264HwDecoderImplDelegate> next);

    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t left, int32_t right, int32_t top,
                          int32_t bottom) override;
    void forwardTextureInfo(int32_t width, int32_t height) override;

    // Waits until `count` pictures have landed; the time of the last of them, or false when
    // they did not within the timeout.
    bool waitForCount(size_t count, Clock::time_point* lastLanded,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    size_t count();

    // Waits until `expected` pictures have landed, or until none has landed for `idle` (a
    // dropped commit never lands). The number landed, and in *lastLanded the time of the last.
    size_t waitUntilSettled(size_t expected, Clock::time_point* lastLanded,
                            std::chrono::milliseconds idle = std::chrono::seconds(1));

  private:
    const std::shared_ptr<H264HwDecoderImplDelegate> next_;
    std::vector<uint8_t> copy_;  // with no delegate behind it, the picture lands here
    std::mutex mutex_;
    std::condition_variable landed_;
    std::vector<Clock::time_point> times_;
};

// Puts a LandingClock in front of the delegate of the session for `decoderId`.
std::shared_ptr<LandingClock> clockInstance(uint8_t decoderId);

}  // namespace bench
