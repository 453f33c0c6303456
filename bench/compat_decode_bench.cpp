// The media framework layer against the ffmpeg tool on the 1080p clips: decode and BGRA
// conversion through format description, session and output callback, beside
// `ffmpeg -threads 1 -i CLIP -pix_fmt bgra -f null -` timed in the same run.
//
// Usage: compat_decode_bench [rounds]   (default 5; the best round of each side counts)
#include "CompatHarness.h"

#include <sys/resource.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Wall and CPU (user + system, all threads of the process) seconds of one run.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Pictures {
    std::atomic<int> delivered{0};
    std::atomic<int> failed{0};
};

// Touches each picture as a caller does: lock, read a pixel, unlock.
void countPicture(void* refCon, void*, OSStatus status, VTDecodeInfoFlags, CVImageBufferRef image,
                  CMTime, CMTime) {
    auto* pictures = static_cast<Pictures*>(refCon);
    if (status != noErr || image == nullptr) {
        ++pictures->failed;
        return;
    }
    CVPixelBufferLockBaseAddress(image, 0);
    const auto* pixels = static_cast<const volatile uint8_t*>(CVPixelBufferGetBaseAddress(image));
    (void)pixels[0];
    CVPixelBufferUnlockBaseAddress(image, 0);
    ++pictures->delivered;
}

struct Clip {
    std::string path;
    int frames = 0;
    CMFormatDescriptionRef format = nullptr;
    std::vector<CMSampleBufferRef> samples;
};

Clip loadClip(const char* name) {
    const testsupport::FixtureClip& info = testsupport::fixtureClip(name);
    Clip clip;
    clip.path = info.path();
    clip.frames = info.frames;
    const std::vector<testsupport::AccessUnit> units = testsupport::readAccessUnits(info);
    if (compattest::createFormatDescription(units, info.codec, &clip.format) != noErr) {
        std::fprintf(stderr, "no format description for %s\n", name);
        std::exit(1);
    }
    for (size_t i = 0; i < units.size(); ++i) {
        const std::vector<uint8_t> sample = compattest::pictureSample(units[i], info.codec);
        clip.samples.push_back(compattest::makeSampleBuffer(sample, clip.format, int64_t(i)));
    }
    return clip;
}

// Decodes and converts the whole clip through a new session. waitEach: wait after every
// sample, as the decode session does; otherwise submit all and wait once.
Timing layerRun(const Clip& clip, bool waitEach) {
    Pictures pictures;
    VTDecompressionOutputCallbackRecord record = {countPicture, &pictures};
    VTDecompressionSessionRef session = nullptr;
    const Clock::time_point start = Clock::now();
    const double cpuStart = processCpuSeconds();
    if (VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format, nullptr, nullptr, &record,
                                     &session) != noErr) {
        return {};
    }
    for (CMSampleBufferRef sample : clip.samples) {
        VTDecompressionSessionDecodeFrame(session, sample, 1, nullptr, nullptr);
        if (waitEach) {
            VTDecompressionSessionWaitForAsynchronousFrames(session);
        }
    }
    VTDecompressionSessionFinishDelayedFrames(session);
    const Timing timing{std::chrono::duration<double>(Clock::now() - start).count(),
                        processCpuSeconds() - cpuStart};
    VTDecompressionSessionInvalidate(session);
    CFRelease(session);
    if (pictures.delivered != clip.frames || pictures.failed != 0) {
        std::fprintf(stderr, "%s: %d pictures, %d failures\n", clip.path.c_str(),
                     pictures.delivered.load(), pictures.failed.load());
        return {};
    }
    return timing;
}

// The ffmpeg tool's own figures for the decode (-benchmark: real time, and user + system time of
// all its threads; process start-up and probing excluded). Zeros when it cannot be run.
Timing ffmpegRun(const Clip& clip) {
    const std::string command = "ffmpeg -hide_banner -nostdin -benchmark -threads 1 -i '" +
                                clip.path + "' -pix_fmt bgra -f null - 2>&1";
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) {
        return {};
    }
    Timing timing;
    char line[512];
    while (std::fgets(line, sizeof line, output) != nullptr) {
        double user = 0;
        double system = 0;
        double real = 0;
        if (std::sscanf(line, "bench: utime=%lfs stime=%lfs rtime=%lfs", &user, &system, &real) ==
            3) {
            timing = Timing{real, user + system};
        }
    }
    return pclose(output) == 0 ? timing : Timing{};
}

// Frames per second of the fastest run by one measure; 0 when no run succeeded.
double bestFps(const std::vector<Timing>& runs, int frames, double Timing::*measure) {
    double fastest = 0;
    for (const Timing& run : runs) {
        const double seconds = run.*measure;
        if (seconds > 0 && (fastest == 0 || seconds < fastest)) {
            fastest = seconds;
        }
    }
    return fastest > 0 ? frames / fastest : 0;
}

void release(Clip& clip) {
    for (CMSampleBufferRef sample : clip.samples) {
        CFRelease(sample);
    }
    CFRelease(clip.format);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("%-20s %10s %10s %10s %7s | %10s %10s %7s\n", "clip", "layer fps", "wait-each",
                "ffmpeg fps", "ratio", "layer/cpu", "ffmpeg/cpu", "ratio");
    bool ok = true;
    for (const char* name : {"h264_cbp_1920x1080", "h265_main_1920x1080"}) {
        Clip clip = loadClip(name);
        std::vector<Timing> layer, layerWaitEach, ffmpeg;
        for (int round = 0; round < rounds; ++round) {
            layer.push_back(layerRun(clip, false));
            layerWaitEach.push_back(layerRun(clip, true));
            ffmpeg.push_back(ffmpegRun(clip));
        }
        const double layerFps = bestFps(layer, clip.frames, &Timing::wall);
        const double waitEachFps = bestFps(layerWaitEach, clip.frames, &Timing::wall);
        const double ffmpegFps = bestFps(ffmpeg, clip.frames, &Timing::wall);
        const double layerCpuFps = bestFps(layer, clip.frames, &Timing::cpu);
        const double ffmpegCpuFps = bestFps(ffmpeg, clip.frames, &Timing::cpu);
        std::printf("%-20s %10.1f %10.1f %10.1f %7.3f | %10.1f %10.1f %7.3f\n", name, layerFps,
                    waitEachFps, ffmpegFps, ffmpegFps > 0 ? layerFps / ffmpegFps : 0, layerCpuFps,
                    ffmpegCpuFps, ffmpegCpuFps > 0 ? layerCpuFps / ffmpegCpuFps : 0);
        ok = ok && layerFps > 0 && ffmpegFps > 0;
        release(clip);
    }
    std::printf(
        "fps: frames / wall seconds; cpu: frames / (user + system seconds of all threads).\n"
        "ratio = layer / ffmpeg, the best of %d rounds each, rounds interleaved in one run.\n",
        rounds);
    return ok ? 0 : 1;
}
