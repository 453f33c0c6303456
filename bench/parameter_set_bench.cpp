// Parameter-set changes, each figure against a baseline of the same run:
//   - the cost per access unit of a stream that repeats its SPS and PPS before every picture,
//     against the same stream with the repeats left out (the decode session alone, decoding);
//   - through the exported functions: the time from committing the first access unit of a new
//     picture size to the size report, and from binding a texture of that size to the first
//     picture in it, against the same times for the stream's first size.
//
//   parameter_set_bench [rounds]
#include "AnnexB.h"
#include "BenchSupport.h"
#include "H264DecoderPlugin.h"
#include "H264HwDecoderImpl.h"
#include "NalUnits.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::milliseconds;
using testsupport::AccessUnit;

constexpr uint8_t kBenchId = 9;

// The access units without their SPS and PPS, except the first unit's.
std::vector<AccessUnit> withoutRepeatedSets(const std::vector<AccessUnit>& units) {
    std::vector<AccessUnit> stripped;
    for (size_t i = 0; i < units.size(); ++i) {
        AccessUnit unit;
        for (const nalunits::NalUnit& nal :
             nalunits::findNalUnits(units[i].data(), units[i].size())) {
            const int type = nalunits::h264Type(units[i][nal.first]);
            if (i > 0 && (type == 7 || type == 8)) {
                continue;
            }
            unit.insert(unit.end(), {0, 0, 0, 1});
            unit.insert(unit.end(), units[i].begin() + std::ptrdiff_t(nal.first),
                        units[i].begin() + std::ptrdiff_t(nal.first + nal.length));
        }
        stripped.push_back(unit);
    }
    return stripped;
}

// Milliseconds per access unit of the session alone, over `rounds` passes of the stream.
double sessionMsPerUnit(const std::vector<AccessUnit>& units, const std::string& key, int rounds) {
    const auto session = H264HwDecoderImpl::createHandler(key);
    session->setDelegate(std::make_shared<bench::LandingClock>(nullptr));
    const Clock::time_point begin = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < units.size(); ++i) {
            session->DecodeNALUs(units[i].data(), int32_t(units[i].size()), double(i));
        }
    }
    const double ms = milliseconds(Clock::now() - begin) / double(rounds * units.size());
    H264HwDecoderImpl::releaseHandler(key, session.get());
    return ms;
}

std::atomic<int> s_reportedWidth{0};
std::atomic<Clock::rep> s_reportTime{0};

void onTextureInfo(const uint8_t*, const H264DecoderChar16* json) {
    std::string text;
    for (const H264DecoderChar16* unit = json; *unit; ++unit) {
        text.push_back(char(*unit));
    }
    s_reportTime = Clock::now().time_since_epoch().count();
    s_reportedWidth = std::atoi(text.c_str() + text.find(':') + 1);
}

struct SizeChangeTimes {
    double toReport = 0;
    double toPicture = 0;
};

// Commits `units[0]` and waits for the report of `width`, then binds a texture of that size,
// commits `units[1]` and waits for its picture in the frame buffer.
SizeChangeTimes timeNewSize(const std::vector<AccessUnit>& units, int width, int height,
                            bench::LandingClock& clock) {
    SizeChangeTimes times;
    const size_t picturesBefore = clock.count();
    const Clock::time_point committed = Clock::now();
    H264Decoder_commitFrame(kBenchId, units[0].data(), 0, 0, uint32_t(units[0].size()), 0);
    while (s_reportedWidth != width) {
        std::this_thread::yield();
    }
    times.toReport =
        milliseconds(Clock::time_point(Clock::duration(s_reportTime.load())) - committed);
    static int texture = 0;
    const std::string description =
        "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) + "}";
    Clock::time_point landed;
    clock.waitForCount(picturesBefore + 1, &landed);  // the first unit's, before any binding
    const Clock::time_point bound = Clock::now();
    H264Decoder_setNativeTexturePointer(
        kBenchId, &texture, std::u16string(description.begin(), description.end()).c_str());
    H264Decoder_commitFrame(kBenchId, units[1].data(), 0, 0, uint32_t(units[1].size()), 0);
    clock.waitForCount(picturesBefore + 2, &landed);
    times.toPicture = milliseconds(landed - bound);
    return times;
}

void printRow(const std::string& what, double measured, double baseline, const char* unit) {
    std::printf("%-58s %10.3f %10.3f %-4s %6.2f\n", what.c_str(), measured, baseline, unit,
                baseline > 0 ? measured / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::vector<AccessUnit> repeating =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_repeat_headers_320x240"));
    const std::vector<AccessUnit> once = withoutRepeatedSets(repeating);
    double repeatingMs = 0;
    double onceMs = 0;
    for (int round = 0; round < rounds; ++round) {  // alternating, under the same machine load
        repeatingMs += sessionMsPerUnit(repeating, "bench-repeating", 1) / rounds;
        onceMs += sessionMsPerUnit(once, "bench-once", 1) / rounds;
    }

    const std::vector<AccessUnit> small =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
    const std::vector<AccessUnit> large =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_gop60_1280x720"));
    std::vector<double> firstReport, newReport, firstPicture, newPicture;
    for (int round = 0; round < rounds; ++round) {
        s_reportedWidth = 0;
        H264Decoder_start(kBenchId, u"{}");
        H264Decoder_registerCallback(kBenchId, &onTextureInfo);
        const auto clock = bench::clockInstance(kBenchId);
        const SizeChangeTimes first = timeNewSize(small, 320, 240, *clock);
        const SizeChangeTimes changed = timeNewSize(large, 1280, 720, *clock);
        H264Decoder_stop(kBenchId);
        firstReport.push_back(first.toReport);
        newReport.push_back(changed.toReport);
        firstPicture.push_back(first.toPicture);
        newPicture.push_back(changed.toPicture);
    }

    std::printf("%-58s %10s %10s %-4s %6s\n", "benchmark", "measured", "baseline", "unit", "ratio");
    printRow("per access unit: sets repeated every unit vs once", repeatingMs, onceMs, "ms");
    printRow("new size 1280x720: first unit -> size report, p50", bench::percentile(newReport, 0.5),
             bench::percentile(firstReport, 0.5), "ms");
    printRow("new size 1280x720: binding -> first picture, p50", bench::percentile(newPicture, 0.5),
             bench::percentile(firstPicture, 0.5), "ms");
    return 0;
}
