#include "PlaybackStats.h"

#include <rapidjson/document.h>

#include <cstdio>

namespace {

constexpr const char* kDropReasons[] = {"queueFull", "waitingForKeyframe", "decodeError",
                                        "noTexture", "sizeMismatch",       "textureBusy"};

bool readCount(const rapidjson::Value& object, const char* name, uint64_t* value) {
    if (!object.IsObject() || !object.HasMember(name) || !object[name].IsUint64()) {
        return false;
    }
    *value = object[name].GetUint64();
    return true;
}

bool readTimes(const rapidjson::Value& object, const char* name, double* p50, double* p95) {
    if (!object.IsObject() || !object.HasMember(name)) {
        return false;
    }
    const rapidjson::Value& times = object[name];
    if (!times.IsObject() || !times.HasMember("p50") || !times.HasMember("p95") ||
        !times["p50"].IsNumber() || !times["p95"].IsNumber()) {
        return false;
    }
    *p50 = times["p50"].GetDouble();
    *p95 = times["p95"].GetDouble();
    return true;
}

}  // namespace

bool PluginFigures::drained() const {
    uint64_t ended = decoded;
    for (size_t reason = 0; reason < 3; ++reason) {
        ended += dropped[reason];
    }
    const uint64_t textureBusy = dropped[5];
    return ended == committed && delivered == uploaded + textureBusy;
}

bool readPluginFigures(const std::string& json, PluginFigures* figures) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("dropped")) {
        return false;
    }
    PluginFigures read;
    bool complete = readCount(document, "committed", &read.committed) &&
                    readCount(document, "decoded", &read.decoded) &&
                    readCount(document, "delivered", &read.delivered) &&
                    readCount(document, "uploaded", &read.uploaded) &&
                    readCount(document, "keyframeRequests", &read.keyframeRequests) &&
                    readTimes(document, "decodeMs", &read.decodeMsP50, &read.decodeMsP95) &&
                    readTimes(document, "latencyMs", &read.latencyMsP50, &read.latencyMsP95);
    for (size_t reason = 0; reason < read.dropped.size(); ++reason) {
        complete =
            complete && readCount(document["dropped"], kDropReasons[reason], &read.dropped[reason]);
    }
    if (complete) {
        *figures = read;
    }
    return complete;
}

std::string formatStatsTable(const std::vector<PlaybackStats>& instances, double uploadMsPerEvent) {
    std::string table;
    char line[320];
    std::snprintf(line, sizeof line, "%4s %9s %9s %6s %6s %8s %11s %11s %-41s %9s  %s\n", "id",
                  "committed", "delivered", "shown", "fps", "left out", "decode ms", "latency ms",
                  "dropped by the plugin", "keyframes", "file");
    table += line;
    std::snprintf(line, sizeof line,
                  "%4s %9s %9s %6s %6s %8s %11s %11s %6s %6s %6s %6s %6s %6s %9s\n", "", "", "", "",
                  "", "", "p50/p95", "p50/p95", "queue", "wait", "error", "notex", "size", "busy",
                  "requested");
    table += line;
    for (const PlaybackStats& stats : instances) {
        const PluginFigures& plugin = stats.plugin;
        const double fps = stats.seconds > 0 ? stats.shown / stats.seconds : 0;
        std::snprintf(
            line, sizeof line,
            "%4d %9llu %9llu %6d %6.1f %8d %5.2f/%5.2f %5.1f/%5.1f %6llu %6llu %6llu %6llu "
            "%6llu %6llu %9llu  %s\n",
            stats.id, (unsigned long long)plugin.committed, (unsigned long long)plugin.delivered,
            stats.shown, fps, stats.leftOut, plugin.decodeMsP50, plugin.decodeMsP95,
            plugin.latencyMsP50, plugin.latencyMsP95, (unsigned long long)plugin.dropped[0],
            (unsigned long long)plugin.dropped[1], (unsigned long long)plugin.dropped[2],
            (unsigned long long)plugin.dropped[3], (unsigned long long)plugin.dropped[4],
            (unsigned long long)plugin.dropped[5], (unsigned long long)plugin.keyframeRequests,
            stats.file.c_str());
        table += line;
    }
    std::snprintf(line, sizeof line, "render event: %.2f ms per event on average\n",
                  uploadMsPerEvent);
    table += line;
    return table;
}
