// Commit-to-frame-buffer latency and throughput of one decoder instance on the 1080p clip,
// against the decode session driven directly on this thread (the layer alone) in the same run.
//
//   decoder_latency [rounds]
//
// Latency: each access unit is committed once the previous picture has landed. Throughput: the
// whole clip is committed at once and the time until the last picture lands is measured.
#include "AnnexB.h"
#include "DecoderRegistry.h"
#include "H264DecoderPlugin.h"
#include "H264HwDecoderImpl.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::AccessUnit;

constexpr uint8_t kDecoderId = 7;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Counts pictures and the time each one was done with, after the delegate it stands in front of
// (or, alone, after copying the picture as the instance would).
class LandingClock : public H264HwDecoderImplDelegate {
  public:
    explicit LandingClock(std::shared_ptr<H264HwDecoderImplDelegate> next)
        : next_(std::move(next)), frameBuffer_(size_t(kWidth) * kHeight * 4) {}

    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t left, int32_t right, int32_t top,
                          int32_t bottom) override {
        if (next_) {
            next_->copyRenderBuffer(buffer, format, width, height, bytesPerRow, left, right, top,
                                    bottom);
        } else if (size_t(bytesPerRow) * height == frameBuffer_.size()) {
            std::memcpy(frameBuffer_.data(), buffer, frameBuffer_.size());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        landed_.push_back(Clock::now());
        changed_.notify_all();
    }
    void forwardTextureInfo(int32_t width, int32_t height) override {
        if (next_) {
            next_->forwardTextureInfo(width, height);
        }
    }

    // The time picture `index` landed; false when it did not within the timeout.
    bool waitFor(size_t index, Clock::time_point* landed) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10),
                               [&] { return landed_.size() > index; })) {
            return false;
        }
        *landed = landed_[index];
        return true;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return landed_.size();
    }

  private:
    const std::shared_ptr<H264HwDecoderImplDelegate> next_;
    std::vector<uint8_t> frameBuffer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> landed_;
};

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

struct Figures {
    std::vector<double> latencies;
    double framesPerSecond = 0;
    size_t dropped = 0;

    double percentile(double p) const {
        std::vector<double> sorted = latencies;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
    }
};

// The session driven directly: submit, wait for the picture, copy it; nothing else.
Figures measureLayerAlone(const std::vector<AccessUnit>& units, int rounds) {
    const auto session = H264HwDecoderImpl::sharedHandler("decoder-bench-layer");
    const auto clock = std::make_shared<LandingClock>(nullptr);
    session->setDelegate(clock);
    session->SetH265(false);
    Figures figures;
    size_t pictures = 0;
    const Clock::time_point begin = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const AccessUnit& unit : units) {
            const Clock::time_point submitted = Clock::now();
            session->DecodeNALUs(unit.data(), int32_t(unit.size()), double(pictures));
            Clock::time_point landed;
            if (clock->waitFor(pictures, &landed)) {
                figures.latencies.push_back(milliseconds(landed - submitted));
            }
            ++pictures;
        }
    }
    figures.framesPerSecond = double(clock->count()) / (milliseconds(Clock::now() - begin) / 1e3);
    session->Reset();
    return figures;
}

std::shared_ptr<LandingClock> startInstance() {
    H264Decoder_start(kDecoderId, u"{}");
    static int texture = 0;
    const std::u16string description = u"{\"width\":1920,\"height\":1080,\"format\":0}";
    H264Decoder_setNativeTexturePointer(kDecoderId, &texture, description.c_str());
    const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(kDecoderId));
    const auto clock = std::make_shared<LandingClock>(session->delegate());
    session->setDelegate(clock);
    return clock;
}

bool commit(const AccessUnit& unit, uint32_t pts) {
    return H264Decoder_commitFrame(kDecoderId, unit.data(), 0, 0, uint32_t(unit.size()), pts);
}

Figures measurePluginLatency(const std::vector<AccessUnit>& units, int rounds) {
    const auto clock = startInstance();
    Figures figures;
    size_t pictures = 0;
    const Clock::time_point begin = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const AccessUnit& unit : units) {
            const Clock::time_point committed = Clock::now();
            commit(unit, uint32_t(pictures));
            Clock::time_point landed;
            if (clock->waitFor(pictures, &landed)) {
                figures.latencies.push_back(milliseconds(landed - committed));
            }
            ++pictures;
        }
    }
    figures.framesPerSecond = double(clock->count()) / (milliseconds(Clock::now() - begin) / 1e3);
    H264Decoder_stop(kDecoderId);
    return figures;
}

// Every access unit committed back to back; the queue absorbs them.
Figures measurePluginBurst(const std::vector<AccessUnit>& units, int rounds) {
    const auto clock = startInstance();
    Figures figures;
    const size_t total = units.size() * size_t(rounds);
    const Clock::time_point begin = Clock::now();
    for (size_t i = 0; i < total; ++i) {
        commit(units[i % units.size()], uint32_t(i));
    }
    Clock::time_point last = begin;
    size_t landed = 0;
    while (landed < total && clock->waitFor(landed, &last)) {
        ++landed;
    }
    figures.dropped = total - landed;
    figures.framesPerSecond = double(landed) / (milliseconds(last - begin) / 1e3);
    H264Decoder_stop(kDecoderId);
    return figures;
}

void printRow(const char* name, const Figures& figures) {
    std::printf("%-34s %8.2f %8.2f %9.1f\n", name, figures.percentile(0.50),
                figures.percentile(0.99), figures.framesPerSecond);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const testsupport::FixtureClip& clip = testsupport::fixtureClip("h264_cbp_1920x1080");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);

    measureLayerAlone(units, 1);  // warm-up: first session, caches, page faults
    const Figures layer = measureLayerAlone(units, rounds);
    const Figures plugin = measurePluginLatency(units, rounds);
    const Figures burst = measurePluginBurst(units, rounds);

    std::printf("%s, %zu access units x %d rounds\n", clip.name.c_str(), units.size(), rounds);
    std::printf("%-34s %8s %8s %9s\n", "", "p50 ms", "p99 ms", "frames/s");
    printRow("layer alone (baseline)", layer);
    printRow("commit to frame buffer", plugin);
    std::printf("%-34s %8.2f %8.2f %9.2f\n", "ratio plugin / layer",
                plugin.percentile(0.50) / layer.percentile(0.50),
                plugin.percentile(0.99) / layer.percentile(0.99),
                plugin.framesPerSecond / layer.framesPerSecond);
    std::printf(
        "burst: layer alone %.1f frames/s, plugin %.1f frames/s (ratio %.2f), %zu of %zu "
        "frames dropped\n",
        burstLayer.framesPerSecond, burst.framesPerSecond,
        burst.framesPerSecond / burstLayer.framesPerSecond, burst.dropped,
        units.size() * size_t(rounds));
    return 0;
}
