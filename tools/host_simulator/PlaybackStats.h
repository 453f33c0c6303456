// What one decoder instance did during a playback, and the table the simulator prints.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The plugin's own figures of an instance, as its statistics text last reported them.
struct PluginFigures {
    uint64_t committed = 0;
    uint64_t decoded = 0;
    uint64_t delivered = 0;
    uint64_t uploaded = 0;
    // queueFull, waitingForKeyframe, decodeError, noTexture, sizeMismatch, textureBusy
    std::array<uint64_t, 6> dropped{};
    double decodeMsP50 = 0;
    double decodeMsP95 = 0;
    double latencyMsP50 = 0;
    double latencyMsP95 = 0;
    uint64_t keyframeRequests = 0;

    // Every committed unit was decoded or dropped, and every picture delivered into the frame
    // buffer was uploaded or replaced by a newer one.
    bool drained() const;
};

// Reads the text of H264Decoder_getStatistics; false when it does not parse as one.
bool readPluginFigures(const std::string& json, PluginFigures* figures);

struct PlaybackStats {
    int id = 0;
    std::string file;
    int leftOut = 0;  // access units --drop-every kept from the plugin
    int shown = 0;    // new pictures that the host saw in its texture
    double seconds = 0;
    PluginFigures plugin;
};

// One row per instance: the plugin's committed units and the pictures it delivered into the frame
// buffer, the pictures the host saw in its texture and their rate, the
// plugin's decode and commit-to-frame-buffer times (latest 120 pictures), its drops by reason
// and keyframe requests; then the render event's mean time.
std::string formatStatsTable(const std::vector<PlaybackStats>& instances, double uploadMsPerEvent);
