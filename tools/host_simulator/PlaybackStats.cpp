#include "PlaybackStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(fraction * double(samples.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(samples.size()))) - 1;
    return samples[index];
}

std::string formatStatsTable(const std::vector<PlaybackStats>& instances, double uploadMsPerEvent) {
    std::string table;
    char line[256];
    std::snprintf(line, sizeof line, "%4s %9s %8s %8s %8s %7s %8s %8s %8s  %s\n", "id", "committed",
                  "decoded", "uploads", "dropped", "fps", "p50 ms", "p95 ms", "p99 ms", "file");
    table += line;
    for (const PlaybackStats& stats : instances) {
        const double fps = stats.seconds > 0 ? stats.shown / stats.seconds : 0;
        std::snprintf(line, sizeof line, "%4d %9d %8d %8d %8d %7.1f %8.1f %8.1f %8.1f  %s\n",
                      stats.id, stats.committed, stats.shown, stats.uploads, stats.dropped(), fps,
                      percentile(stats.latenciesMs, 0.50), percentile(stats.latenciesMs, 0.95),
                      percentile(stats.latenciesMs, 0.99), stats.file.c_str());
        table += line;
    }
    std::snprintf(line, sizeof line, "render event: %.2f ms per event on average\n",
                  uploadMsPerEvent);
    table += line;
    return table;
}
