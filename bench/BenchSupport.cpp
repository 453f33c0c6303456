#include "BenchSupport.h"

#include "H264HwDecoderImpl.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace bench {

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(fraction * double(samples.size()));
    return samples[size_t(std::clamp(rank, 1.0, double(samples.size()))) - 1];
}

namespace {

// The real time that `ffmpeg -benchmark` reports for the decode, in seconds; 0 on failure.
double ffmpegRealSeconds(const std::string& clip) {
    const std::string command = "ffmpeg -hide_banner -nostdin -benchmark -threads 1 -i '" + clip +
                                "' -pix_fmt bgra -f null - 2>&1";
    FILE* output = popen(command.c_str(), "r");
    if (!output) {
        return 0;
    }
    double seconds = 0;
    char line[512];
    while (std::fgets(line, sizeof line, output)) {
        double user = 0, system = 0, real = 0;
        if (std::sscanf(line, "bench: utime=%lfs stime=%lfs rtime=%lfs", &user, &system, &real) ==
            3) {
            seconds = real;
        }
    }
    return pclose(output) == 0 ? seconds : 0;
}

}  // namespace

double ffmpegFramesPerSecond(const std::string& clip, int frames, int runs) {
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        const double seconds = ffmpegRealSeconds(clip);
        if (seconds > 0) {
            best = std::max(best, frames / seconds);
        }
    }
    return best;
}

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0, residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}

LandingClock::LandingClock(std::shared_ptr<H264HwDecoderImplDelegate> next)
    : next_(std::move(next)) {}

void LandingClock::copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                                    int32_t bytesPerRow, int32_t left, int32_t right, int32_t top,
                                    int32_t bottom) {
    if (next_) {
        next_->copyRenderBuffer(buffer, format, width, height, bytesPerRow, left, right, top,
                                bottom);
    } else {
        const auto* pixels = static_cast<const uint8_t*>(buffer);
        copy_.assign(pixels, pixels + size_t(bytesPerRow) * size_t(height));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(Clock::now());
    landed_.notify_all();
}

void LandingClock::forwardTextureInfo(int32_t width, int32_t height) {
    if (next_) {
        next_->forwardTextureInfo(width, height);
    }
}

bool LandingClock::waitForCount(size_t count, Clock::time_point* lastLanded,
                                std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!landed_.wait_for(lock, timeout, [&] { return times_.size() >= count; })) {
        return false;
    }
    if (count > 0) {
        *lastLanded = times_[count - 1];
    }
    return true;
}

size_t LandingClock::waitUntilSettled(size_t expected, Clock::time_point* lastLanded,
                                      std::chrono::milliseconds idle) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t seen = times_.size();
    while (times_.size() < expected &&
           landed_.wait_for(lock, idle, [&] { return times_.size() > seen; })) {
        seen = times_.size();
    }
    if (!times_.empty()) {
        *lastLanded = times_.back();
    }
    return times_.size();
}

size_t LandingClock::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_.size();
}

std::shared_ptr<LandingClock> clockInstance(uint8_t decoderId) {
    const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(decoderId));
    auto clock = std::make_shared<LandingClock>(session->delegate());
    session->setDelegate(clock);
    return clock;
}

}  // namespace bench
