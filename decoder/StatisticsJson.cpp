#include "StatisticsJson.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// The member names of the drop reasons, in the order of DecodeStatistics::Drop.
constexpr const char* kDropNames[DecodeStatistics::kDropReasons] = {
    "queueFull", "waitingForKeyframe", "decodeError", "noTexture", "sizeMismatch", "textureBusy"};

void writeCount(Writer& writer, const char* name, uint64_t value) {
    writer.Key(name);
    writer.Uint64(value);
}

void writeTimes(Writer& writer, const char* name, const DecodeStatistics::Times& times) {
    writer.Key(name);
    writer.StartObject();
    writer.Key("p50");
    writer.Double(times.p50);
    writer.Key("p95");
    writer.Double(times.p95);
    writer.Key("max");
    writer.Double(times.max);
    writer.EndObject();
}

void writeDrops(Writer& writer, const DecodeStatistics::Snapshot& figures) {
    writer.Key("dropped");
    writer.StartObject();
    for (size_t reason = 0; reason < DecodeStatistics::kDropReasons; ++reason) {
        writeCount(writer, kDropNames[reason], figures.dropped[reason]);
    }
    writer.EndObject();
}

}  // namespace

std::string statisticsJson(const DecodeStatistics::Snapshot& figures) {
    rapidjson::StringBuffer text;
    Writer writer(text);
    writer.SetMaxDecimalPlaces(3);
    writer.StartObject();
    writer.Key("codec");
    writer.String(figures.h265 ? "h265" : "h264");
    writer.Key("width");
    writer.Int(figures.width);
    writer.Key("height");
    writer.Int(figures.height);
    writeCount(writer, "committed", figures.committed);
    writeCount(writer, "queued", figures.queued);
    writeCount(writer, "decoded", figures.decoded);
    writeCount(writer, "delivered", figures.delivered);
    writeCount(writer, "uploaded", figures.uploaded);
    writeDrops(writer, figures);
    writeTimes(writer, "decodeMs", figures.decodeMs);
    writeTimes(writer, "latencyMs", figures.latencyMs);
    writeCount(writer, "sessions", figures.sessions);
    writer.Key("lastStatus");
    writer.Int(figures.lastStatus);
    writer.Key("keyframeNeeded");
    writer.Bool(figures.keyframeNeeded);
    writeCount(writer, "keyframeRequests", figures.keyframeRequests);
    writer.EndObject();
    return std::string(text.GetString(), text.GetSize());
}
