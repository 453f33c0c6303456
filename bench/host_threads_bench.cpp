// The host's threads under load, each figure against a baseline measured in this same run:
//   - render-event duration on the render thread (headless OpenGL Core) while another thread
//     starts an id, commits 1080p to it at full speed for 200 ms and stops it, over and over,
//     against the same 16 bound, streaming textures without that churn;
//   - commit duration while render events upload those 16 textures, against no render events;
//   - a render event over 256 bound textures with no new picture, against one over no instance;
//   - the CPU time of 256 started, idle instances, against the process without them.
//
//   host_threads_bench [seconds]   length of each measured phase (default 5; idle CPU: twice)
#include "AnnexB.h"
#include "BenchSupport.h"
#include "Fixtures.h"
#include "GraphicsHost.h"
#include "H264DecoderPlugin.h"
#include "HostTexture.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::milliseconds;
using testsupport::AccessUnit;

constexpr int kStreamingTextures = 16;
constexpr uint8_t kChurnId = 200;
constexpr auto kChurnBurst = std::chrono::milliseconds(200);
constexpr auto kRenderPeriod = std::chrono::milliseconds(2);
constexpr auto kStreamFrameInterval = std::chrono::microseconds(1000000 / 30);

std::u16string utf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

void bindTexture(uint8_t id, const HostTexture& texture) {
    const std::string description = "{\"width\":" + std::to_string(texture.width()) +
                                    ",\"height\":" + std::to_string(texture.height()) + "}";
    H264Decoder_setNativeTexturePointer(id, texture.nativeHandle(), utf16(description).c_str());
}

void commitUnit(uint8_t id, const AccessUnit& unit) {
    H264Decoder_commitFrame(id, unit.data(), 0, 0, uint32_t(unit.size()), 0);
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Durations of calls, in milliseconds, from one or more threads.
class Durations {
  public:
    void add(double ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.push_back(ms);
    }
    double percentile(double fraction) const { return bench::percentile(samples_, fraction); }
    double max() const {
        return samples_.empty() ? 0 : *std::max_element(samples_.begin(), samples_.end());
    }

  private:
    std::mutex mutex_;
    std::vector<double> samples_;
};

// A thread that loops a clip into the streaming instances at 30 fps each, timing every commit.
class Streams {
  public:
    Streams(const std::vector<AccessUnit>& units, Durations* commits)
        : thread_([this, &units, commits] {
              auto due = Clock::now();
              for (size_t frame = 0; running_; ++frame) {
                  for (int id = 0; id < kStreamingTextures; ++id) {
                      const Clock::time_point before = Clock::now();
                      commitUnit(uint8_t(id), units[frame % units.size()]);
                      if (commits) {
                          commits->add(milliseconds(Clock::now() - before));
                      }
                  }
                  due += kStreamFrameInterval;
                  std::this_thread::sleep_until(due);
              }
          }) {}
    ~Streams() {
        running_ = false;
        thread_.join();
    }

  private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Starts an id, commits 1080p to it back to back for a while, stops it; again and again.
class Churn {
  public:
    explicit Churn(const std::vector<AccessUnit>& units)
        : thread_([this, &units] {
              while (running_) {
                  H264Decoder_start(kChurnId, u"{}");
                  const Clock::time_point end = Clock::now() + kChurnBurst;
                  for (size_t i = 0; running_ && Clock::now() < end; ++i) {
                      commitUnit(kChurnId, units[i % units.size()]);
                  }
                  H264Decoder_stop(kChurnId);
              }
          }) {}
    ~Churn() {
        running_ = false;
        thread_.join();
    }

  private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Render events every 2 ms on this thread for `length`, each timed.
void renderFor(GraphicsHost& graphics, std::chrono::seconds length, Durations& events) {
    const Clock::time_point end = Clock::now() + length;
    for (Clock::time_point due = Clock::now(); Clock::now() < end;) {
        const Clock::time_point before = Clock::now();
        graphics.render();
        events.add(milliseconds(Clock::now() - before));
        due += kRenderPeriod;
        std::this_thread::sleep_until(due);
    }
}

void printRow(const std::string& what, double measured, double baseline, const char* unit) {
    std::printf("%-58s %10.3f %10.3f %-4s %6.2f\n", what.c_str(), measured, baseline, unit,
                baseline > 0 ? measured / baseline : 0.0);
}

void printDistribution(const std::string& what, const Durations& measured,
                       const Durations& baseline) {
    printRow(what + " p50", measured.percentile(0.50), baseline.percentile(0.50), "ms");
    printRow(what + " p99", measured.percentile(0.99), baseline.percentile(0.99), "ms");
    printRow(what + " max", measured.max(), baseline.max(), "ms");
}

void streamingTextures(GraphicsHost& graphics, std::chrono::seconds length) {
    const std::vector<AccessUnit> small =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
    const std::vector<AccessUnit> large =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_1920x1080"));
    std::vector<std::unique_ptr<HostTexture>> textures;
    for (int id = 0; id < kStreamingTextures; ++id) {
        H264Decoder_start(uint8_t(id), u"{}");
        textures.push_back(std::make_unique<HostTexture>(320, 240));
        bindTexture(uint8_t(id), *textures.back());
    }
    Durations quietEvents, churnEvents, quietCommits, renderedCommits, unusedEvents;
    {
        Streams streams(small, &quietCommits);
        std::this_thread::sleep_for(length);
    }
    {
        Streams streams(small, &renderedCommits);
        renderFor(graphics, length, quietEvents);
    }
    {
        Streams streams(small, nullptr);
        Churn churn(large);
        renderFor(graphics, length, churnEvents);
    }
    printDistribution("render event, 16 streams: with churn vs without", churnEvents, quietEvents);
    printDistribution("commit: with 16 uploading render events vs none", renderedCommits,
                      quietCommits);
    for (int id = 0; id < kStreamingTextures; ++id) {
        H264Decoder_stop(uint8_t(id));
    }
}

void idleTextures(GraphicsHost& graphics) {
    constexpr int kEvents = 1000;
    Durations none, idle;
    for (int i = 0; i < kEvents; ++i) {
        const Clock::time_point before = Clock::now();
        graphics.render();
        none.add(milliseconds(Clock::now() - before));
    }
    std::vector<std::unique_ptr<HostTexture>> textures;
    for (int id = 0; id < 256; ++id) {
        H264Decoder_start(uint8_t(id), u"{}");
        textures.push_back(std::make_unique<HostTexture>(16, 16));
        bindTexture(uint8_t(id), *textures.back());
    }
    graphics.render();  // the black of the new bindings
    for (int i = 0; i < kEvents; ++i) {
        const Clock::time_point before = Clock::now();
        graphics.render();
        idle.add(milliseconds(Clock::now() - before));
    }
    printDistribution("render event: 256 textures, nothing new vs no instance", idle, none);
    for (int id = 0; id < 256; ++id) {
        H264Decoder_stop(uint8_t(id));
    }
}

void idleInstances(std::chrono::seconds length) {
    double cpu = processCpuSeconds();
    std::this_thread::sleep_for(length);
    const double withoutInstances = processCpuSeconds() - cpu;
    for (int id = 0; id < 256; ++id) {
        H264Decoder_start(uint8_t(id), u"{}");
    }
    cpu = processCpuSeconds();
    std::this_thread::sleep_for(length);
    const double withInstances = processCpuSeconds() - cpu;
    printRow(
        "CPU of 256 idle instances over " + std::to_string(length.count()) + " s vs none started",
        withInstances, withoutInstances, "s");
    for (int id = 0; id < 256; ++id) {
        H264Decoder_stop(uint8_t(id));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds length(argc > 1 ? std::max(1, std::atoi(argv[1])) : 5);
    GraphicsHost graphics;
    std::printf("%-58s %10s %10s %-4s %6s\n", "benchmark", "measured", "baseline", "unit", "ratio");
    streamingTextures(graphics, length);
    idleTextures(graphics);
    idleInstances(length * 2);
    return 0;
}
