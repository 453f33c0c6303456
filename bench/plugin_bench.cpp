// The plugin's benchmark table, every comparison measured in this one run:
//   - the plugin end to end on the 1080p H.264 and HEVC clips (commit -> frame buffer, and
//     commit -> texture through render events on a headless OpenGL Core context) against
//     `ffmpeg -threads 1 -i CLIP -pix_fmt bgra -f null -`, also with the statistics polled at
//     60 Hz from another thread, as a host's script thread polls them;
//   - the latency distribution of one picture at a time, to the frame buffer and to the texture;
//   - 1, 4, 16 and 64 instances decoding the 720p sample clip at once: aggregate pictures per
//     second against one instance, and resident memory per instance.
//
//   plugin_bench [rounds]
#include "AnnexBSplitter.h"
#include "BenchSupport.h"
#include "Fixtures.h"
#include "GraphicsHost.h"
#include "H264DecoderPlugin.h"
#include "HostTexture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::milliseconds;
using AccessUnits = std::vector<annexb::AccessUnit>;

struct Stream {
    std::string label;
    std::string path;
    bool h265 = false;
    int width = 0;
    int height = 0;
    AccessUnits units;
};

Stream fixtureStream(const char* name, const char* label) {
    const testsupport::FixtureClip& clip = testsupport::fixtureClip(name);
    const std::vector<uint8_t> bytes = testsupport::readFileBytes(clip.path());
    const bool h265 = clip.codec == testsupport::Codec::H265;
    return {label,
            clip.path(),
            h265,
            clip.width,
            clip.height,
            annexb::splitAccessUnits(bytes.data(), bytes.size(),
                                     h265 ? annexb::StreamCodec::H265 : annexb::StreamCodec::H264)};
}

Stream sampleStream() {
    const std::vector<uint8_t> bytes = testsupport::readFileBytes(SAMPLE_CLIP);
    return {"720p H.264",
            SAMPLE_CLIP,
            false,
            1280,
            720,
            annexb::splitAccessUnits(bytes.data(), bytes.size(), annexb::StreamCodec::H264)};
}

// One decoder instance started and bound through the exported functions, its pictures timed as
// they land in the frame buffer.
class BenchInstance {
  public:
    BenchInstance(uint8_t id, const Stream& stream, void* texture) : id_(id) {
        const std::u16string config = stream.h265 ? u"{\"isH265\":true}" : u"{}";
        H264Decoder_start(id_, config.c_str());
        const std::string description = "{\"width\":" + std::to_string(stream.width) +
                                        ",\"height\":" + std::to_string(stream.height) +
                                        ",\"mipMap\":false,\"format\":0}";
        H264Decoder_setNativeTexturePointer(
            id_, texture, std::u16string(description.begin(), description.end()).c_str());
        clock_ = bench::clockInstance(id_);
    }
    ~BenchInstance() { H264Decoder_stop(id_); }
    BenchInstance(const BenchInstance&) = delete;
    BenchInstance& operator=(const BenchInstance&) = delete;

    void commit(const annexb::AccessUnit& unit, uint32_t pts) {
        H264Decoder_commitFrame(id_, unit.data(), 0, 0, uint32_t(unit.size()), pts);
    }
    bench::LandingClock& clock() { return *clock_; }

  private:
    uint8_t id_;
    std::shared_ptr<bench::LandingClock> clock_;
};

constexpr uint8_t kBenchId = 42;
constexpr double kPtsPerFrame = 100000.0 / 30;
// Commits run at most half a backlog ahead of the pictures, so that a burst never meets the
// backlog's limits and every unit is decoded.
constexpr size_t kInFlight = H264_DECODER_MAX_QUEUED_UNITS / 2;

void waitForRoom(bench::LandingClock& clock, size_t committed) {
    if (committed >= kInFlight) {
        Clock::time_point landed;
        clock.waitForCount(committed - kInFlight + 1, &landed);
    }
}

// Reads an instance's statistics 60 times a second on a thread of its own while it lives.
class StatisticsPolling {
  public:
    explicit StatisticsPolling(uint8_t id)
        : thread_([this, id] {
              H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
              for (auto next = Clock::now(); polling_; next += std::chrono::microseconds(16667)) {
                  H264Decoder_getStatistics(id, text, H264_DECODER_STATISTICS_CAPACITY);
                  std::this_thread::sleep_until(next);
              }
          }) {}
    ~StatisticsPolling() {
        polling_ = false;
        thread_.join();
    }
    StatisticsPolling(const StatisticsPolling&) = delete;
    StatisticsPolling& operator=(const StatisticsPolling&) = delete;

  private:
    std::atomic<bool> polling_{true};
    std::thread thread_;
};

// Pictures per second from the first commit to the last picture in the frame buffer, every
// access unit committed back to back; with `graphics`, a render event follows every commit and
// the clock stops at the render event after the last picture.
double burstFramesPerSecond(const Stream& stream, GraphicsHost* graphics, bool polled = false) {
    HostTexture texture(stream.width, stream.height);
    BenchInstance instance(kBenchId, stream, texture.nativeHandle());
    std::unique_ptr<StatisticsPolling> polling;
    if (polled) {
        polling = std::make_unique<StatisticsPolling>(kBenchId);
    }
    const Clock::time_point begin = Clock::now();
    for (size_t i = 0; i < stream.units.size(); ++i) {
        waitForRoom(instance.clock(), i);
        instance.commit(stream.units[i], uint32_t(double(i) * kPtsPerFrame));
        if (graphics) {
            graphics->render();
        }
    }
    Clock::time_point last = begin;
    const size_t landed = instance.clock().waitUntilSettled(stream.units.size(), &last);
    if (graphics) {
        graphics->render();
        last = Clock::now();
    }
    return double(landed) / (milliseconds(last - begin) / 1000);
}

// Microseconds per H264Decoder_getStatistics call on an instance that has decoded a stream.
double statisticsPollMicroseconds(const Stream& stream) {
    constexpr int kPolls = 20000;
    HostTexture texture(stream.width, stream.height);
    BenchInstance instance(kBenchId, stream, texture.nativeHandle());
    for (size_t i = 0; i < stream.units.size(); ++i) {
        waitForRoom(instance.clock(), i);
        instance.commit(stream.units[i], uint32_t(double(i) * kPtsPerFrame));
    }
    H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
    const Clock::time_point begin = Clock::now();
    for (int poll = 0; poll < kPolls; ++poll) {
        H264Decoder_getStatistics(kBenchId, text, H264_DECODER_STATISTICS_CAPACITY);
    }
    return milliseconds(Clock::now() - begin) * 1000 / kPolls;
}

struct Latencies {
    std::vector<double> toFrameBuffer;
    std::vector<double> toTexture;
};

// One picture at a time: commit, wait for the frame buffer, render event.
Latencies pictureLatencies(const Stream& stream, GraphicsHost& graphics) {
    HostTexture texture(stream.width, stream.height);
    BenchInstance instance(kBenchId, stream, texture.nativeHandle());
    Latencies latencies;
    for (size_t i = 0; i < stream.units.size(); ++i) {
        const Clock::time_point committed = Clock::now();
        instance.commit(stream.units[i], uint32_t(double(i) * kPtsPerFrame));
        Clock::time_point landed;
        if (!instance.clock().waitForCount(i + 1, &landed)) {
            break;
        }
        graphics.render();
        latencies.toFrameBuffer.push_back(milliseconds(landed - committed));
        latencies.toTexture.push_back(milliseconds(Clock::now() - committed));
    }
    return latencies;
}

struct ScalingFigures {
    int instances = 0;
    double aggregateFps = 0;
    double megabytesPerInstance = 0;
};

// `count` instances decode the stream at once into their frame buffers.
ScalingFigures decodeConcurrently(const Stream& stream, int count) {
    // About the same number of pictures in every round, so each round takes similar time.
    const size_t frames = std::min(stream.units.size(), size_t(1920 / count));
    const long before = bench::residentKilobytes();
    static int dummyTexture = 0;
    std::vector<std::unique_ptr<BenchInstance>> instances;
    for (int i = 0; i < count; ++i) {
        instances.push_back(std::make_unique<BenchInstance>(uint8_t(i), stream, &dummyTexture));
    }
    const Clock::time_point begin = Clock::now();
    for (size_t frame = 0; frame < frames; ++frame) {
        for (auto& instance : instances) {
            waitForRoom(instance->clock(), frame);
            instance->commit(stream.units[frame], uint32_t(double(frame) * kPtsPerFrame));
        }
    }
    size_t landed = 0;
    Clock::time_point last = begin;
    for (auto& instance : instances) {
        Clock::time_point instanceLast = begin;
        landed += instance->clock().waitUntilSettled(frames, &instanceLast);
        last = std::max(last, instanceLast);
    }
    const long during = bench::residentKilobytes();
    ScalingFigures figures;
    figures.instances = count;
    figures.aggregateFps = double(landed) / (milliseconds(last - begin) / 1000);
    figures.megabytesPerInstance = double(during - before) / 1024 / count;
    return figures;
}

void printRow(const std::string& what, double plugin, double baseline, const char* unit) {
    std::printf("%-52s %10.1f %10.1f %-4s %6.2f\n", what.c_str(), plugin, baseline, unit,
                baseline > 0 ? plugin / baseline : 0.0);
}

void printRowWithoutBaseline(const std::string& what, double plugin, const char* unit) {
    std::printf("%-52s %10.1f %10s %-4s %6s\n", what.c_str(), plugin, "-", unit, "-");
}

template <typename Measure>
double bestOf(int rounds, Measure measure) {
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        best = std::max(best, measure());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    GraphicsHost graphics;
    const std::vector<Stream> clips = {fixtureStream("h264_cbp_1920x1080", "1080p H.264"),
                                       fixtureStream("h265_main_1920x1080", "1080p HEVC")};

    std::printf("%-52s %10s %10s %-4s %6s\n", "benchmark", "plugin", "baseline", "unit", "ratio");
    for (const Stream& clip : clips) {
        const double ffmpeg =
            bench::ffmpegFramesPerSecond(clip.path, int(clip.units.size()), rounds);
        const double toFrameBuffer =
            bestOf(rounds, [&] { return burstFramesPerSecond(clip, nullptr); });
        const double toTexture =
            bestOf(rounds, [&] { return burstFramesPerSecond(clip, &graphics); });
        const double polled =
            bestOf(rounds, [&] { return burstFramesPerSecond(clip, &graphics, true); });
        printRow(clip.label + ": commit -> frame buffer vs ffmpeg", toFrameBuffer, ffmpeg, "fps");
        printRow(clip.label + ": commit -> texture vs ffmpeg", toTexture, ffmpeg, "fps");
        printRow(clip.label + ": the same, statistics polled at 60 Hz", polled, ffmpeg, "fps");
    }
    for (const Stream& clip : clips) {
        const Latencies latencies = pictureLatencies(clip, graphics);
        for (double fraction : {0.50, 0.95, 0.99}) {
            const std::string label = clip.label + ": latency p" +
                                      std::to_string(int(fraction * 100)) +
                                      " texture vs frame buffer";
            printRow(label, bench::percentile(latencies.toTexture, fraction),
                     bench::percentile(latencies.toFrameBuffer, fraction), "ms");
        }
    }
    printRowWithoutBaseline("statistics: one H264Decoder_getStatistics call",
                            statisticsPollMicroseconds(clips.front()), "us");
    const Stream sample = sampleStream();
    double single = 0;
    for (int count : {1, 4, 16, 64}) {
        const ScalingFigures figures = decodeConcurrently(sample, count);
        if (count == 1) {
            single = figures.aggregateFps;
        }
        printRow(sample.label + " x" + std::to_string(count) + ": aggregate vs one instance",
                 figures.aggregateFps, single, "fps");
        printRowWithoutBaseline(
            sample.label + " x" + std::to_string(count) + ": resident memory per instance",
            figures.megabytesPerInstance, "MB");
    }
    return 0;
}
