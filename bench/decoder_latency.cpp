// Commit-to-frame-buffer latency and throughput of one decoder instance on the 1080p clip,
// against the decode session driven directly on this thread (the layer alone) in the same run.
//
//   decoder_latency [rounds]
//
// One at a time: each access unit is submitted once the previous picture has landed; latency is
// from submission to the picture's copy into a frame buffer. Burst: the whole clip is submitted
// back to back, as fast as the instance's backlog takes them: never more than half its queue
// ahead of the pictures (the layer alone, having no queue, decodes each before taking the next).
#include "AnnexB.h"
#include "BenchSupport.h"
#include "DecoderRegistry.h"
#include "H264DecoderPlugin.h"
#include "H264HwDecoderImpl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::milliseconds;
using testsupport::AccessUnit;

constexpr uint8_t kDecoderId = 7;
constexpr size_t kInFlight = H264_DECODER_MAX_QUEUED_UNITS / 2;

struct Figures {
    std::vector<double> latencies;
    size_t frames = 0;
    double seconds = 0;
    size_t dropped = 0;

    double percentile(double fraction) const { return bench::percentile(latencies, fraction); }
    double framesPerSecond() const { return double(frames) / seconds; }
};

// One way of turning access units into pictures in a frame buffer, timed per picture.
class Path {
  public:
    virtual ~Path() = default;
    // Hands over one access unit, and for the layer alone also waits for its decode.
    virtual void submit(const AccessUnit& unit, uint32_t pts) = 0;

    // Submits each unit once the previous picture has landed.
    void timeEachPicture(const std::vector<AccessUnit>& units, Figures& figures) {
        const Clock::time_point begin = Clock::now();
        for (const AccessUnit& unit : units) {
            const Clock::time_point submitted = Clock::now();
            submit(unit, uint32_t(pictures_));
            Clock::time_point landed;
            if (clock_->waitForCount(pictures_ + 1, &landed)) {
                figures.latencies.push_back(milliseconds(landed - submitted));
                ++pictures_;
                ++figures.frames;
            } else {
                ++figures.dropped;
            }
        }
        figures.seconds += milliseconds(Clock::now() - begin) / 1e3;
    }

    // Submits every unit back to back, then waits for all pictures.
    void timeBurst(const std::vector<AccessUnit>& units, Figures& figures) {
        const Clock::time_point begin = Clock::now();
        Clock::time_point last = begin;
        for (size_t i = 0; i < units.size(); ++i) {
            if (i >= kInFlight) {
                clock_->waitForCount(pictures_ + i - kInFlight + 1, &last);
            }
            submit(units[i], uint32_t(pictures_));
        }
        size_t landed = 0;
        while (landed < units.size() && clock_->waitForCount(pictures_ + landed + 1, &last)) {
            ++landed;
        }
        pictures_ = clock_->count();
        figures.frames += landed;
        figures.dropped += units.size() - landed;
        figures.seconds += milliseconds(last - begin) / 1e3;
    }

  protected:
    std::shared_ptr<bench::LandingClock> clock_;

  private:
    size_t pictures_ = 0;
};

// The decode session driven directly on this thread: submit, wait, copy; nothing else.
class LayerAlone : public Path {
  public:
    LayerAlone() : session_(H264HwDecoderImpl::sharedHandler("decoder-bench-layer")) {
        clock_ = std::make_shared<bench::LandingClock>(nullptr);
        session_->setDelegate(clock_);
        session_->SetH265(false);
    }
    void submit(const AccessUnit& unit, uint32_t pts) override {
        session_->DecodeNALUs(unit.data(), int32_t(unit.size()), double(pts));
    }

  private:
    std::shared_ptr<H264HwDecoderImpl> session_;
};

// A decoder instance with a bound 1920 x 1080 texture, fed through the exported functions.
class ThroughThePlugin : public Path {
  public:
    explicit ThroughThePlugin(uint8_t decoderId) : decoderId_(decoderId) {
        H264Decoder_start(decoderId_, u"{}");
        static int texture = 0;
        const std::u16string description = u"{\"width\":1920,\"height\":1080,\"format\":0}";
        H264Decoder_setNativeTexturePointer(decoderId_, &texture, description.c_str());
        const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(decoderId_));
        clock_ = std::make_shared<bench::LandingClock>(session->delegate());
        session->setDelegate(clock_);
    }
    ~ThroughThePlugin() override { H264Decoder_stop(decoderId_); }
    void submit(const AccessUnit& unit, uint32_t pts) override {
        H264Decoder_commitFrame(decoderId_, unit.data(), 0, 0, uint32_t(unit.size()), pts);
    }

  private:
    const uint8_t decoderId_;
};

void printRow(const char* name, const Figures& figures) {
    std::printf("%-26s %8.2f %8.2f %9.1f %8zu\n", name, figures.percentile(0.50),
                figures.percentile(0.99), figures.framesPerSecond(), figures.dropped);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const testsupport::FixtureClip& clip = testsupport::fixtureClip("h264_cbp_1920x1080");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);

    LayerAlone layer;
    ThroughThePlugin plugin(kDecoderId);
    Figures warmUp;
    layer.timeEachPicture(units, warmUp);
    plugin.timeEachPicture(units, warmUp);

    // Rounds alternate between the paths so that both see the same machine load.
    Figures layerFigures, pluginFigures, layerBurst, pluginBurst;
    for (int round = 0; round < rounds; ++round) {
        layer.timeEachPicture(units, layerFigures);
        plugin.timeEachPicture(units, pluginFigures);
        layer.timeBurst(units, layerBurst);
        plugin.timeBurst(units, pluginBurst);
    }

    std::printf("%s, %zu access units x %d rounds\n", clip.name.c_str(), units.size(), rounds);
    std::printf("%-26s %8s %8s %9s %8s\n", "one at a time", "p50 ms", "p99 ms", "frames/s",
                "dropped");
    printRow("layer alone (baseline)", layerFigures);
    printRow("commit to frame buffer", pluginFigures);
    std::printf("%-26s %8.2f %8.2f %9.2f\n", "ratio plugin / layer",
                pluginFigures.percentile(0.50) / layerFigures.percentile(0.50),
                pluginFigures.percentile(0.99) / layerFigures.percentile(0.99),
                pluginFigures.framesPerSecond() / layerFigures.framesPerSecond());
    std::printf("%-26s %8s %8s %9.1f %8zu\n", "burst: layer alone", "", "",
                layerBurst.framesPerSecond(), layerBurst.dropped);
    std::printf("%-26s %8s %8s %9.1f %8zu\n", "burst: through the plugin", "", "",
                pluginBurst.framesPerSecond(), pluginBurst.dropped);
    std::printf("%-26s %8s %8s %9.2f\n", "ratio plugin / layer", "", "",
                pluginBurst.framesPerSecond() / layerBurst.framesPerSecond());
    return 0;
}
