// What one decoder instance did during a playback, and the table the simulator prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlaybackStats {
    int id = 0;
    std::string file;
    int committed = 0;                // access units the plugin accepted
    int shown = 0;                    // new pictures that reached the texture
    int uploads = 0;                  // render events that uploaded into the bound texture
    std::vector<double> latenciesMs;  // commit to first appearance in the texture
    double seconds = 0;

    int dropped() const { return committed > shown ? committed - shown : 0; }
};

// The value below which `fraction` of the samples lie (nearest rank); 0 for no samples.
double percentile(std::vector<double> samples, double fraction);

// One row per instance: committed, decoded into the texture, uploads, dropped, fps, latency
// p50/p95/p99, and the render event's mean upload time.
std::string formatStatsTable(const std::vector<PlaybackStats>& instances, double uploadMsPerEvent);
