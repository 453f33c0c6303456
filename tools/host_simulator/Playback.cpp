#include "Playback.h"

#include "HostTexture.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPtsUnitsPerSecond = 100000;
// How long a new instance's first access unit may take to report the picture size.
constexpr auto kFirstPictureTimeout = std::chrono::milliseconds(2000);
// How long the texture-info reports of a new instance must be quiet before commits go on.
constexpr auto kReportQuietPeriod = std::chrono::milliseconds(200);
// How long the drain at the end waits for pictures still in flight.
constexpr auto kDrainTimeout = std::chrono::milliseconds(3000);

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::u16string utf16FromAscii(const std::string& text) {
    return {text.begin(), text.end()};
}

// The NAL unit type of the first NAL unit, read as the codec says, or -1 without a start code.
int firstNalType(const std::vector<uint8_t>& stream, annexb::StreamCodec codec) {
    for (size_t i = 0; i + 4 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            const uint8_t header = stream[i + 3];
            if (header & 0x80) {
                return -1;  // the forbidden zero bit is set: not this codec
            }
            return codec == annexb::StreamCodec::H265 ? (header >> 1) & 0x3f : header & 0x1f;
        }
    }
    return -1;
}

// An H.264 stream read as H.265, or the other way round, starts with a NAL unit type that the
// other codec does not allow at the start of a stream.
bool firstNalFitsCodec(int type, annexb::StreamCodec codec) {
    if (codec == annexb::StreamCodec::H265) {
        return type >= 32 && type <= 40;  // parameter sets, delimiter or SEI come first
    }
    return type >= 6 && type <= 9;  // SEI, parameter sets or delimiter come first
}

const char* codecName(annexb::StreamCodec codec) {
    return codec == annexb::StreamCodec::H265 ? "H.265" : "H.264";
}

// One decoder instance of the playback and what the host knows of it. The script thread
// commits; the render thread creates and binds textures and looks at them.
struct Instance {
    uint8_t id = 0;
    const StreamInput* input = nullptr;

    // Written by the texture-info callback on the plugin's decode thread.
    std::mutex reportMutex;
    int reportedWidth = 0;
    int reportedHeight = 0;
    bool reportPending = false;

    // Render thread only.
    std::unique_ptr<HostTexture> texture;
    std::unique_ptr<HostTexture> retiredTexture;  // kept until the next render event is done
    std::vector<uint8_t> lastPixels;
    // What the script thread waits on: a texture bound, and when the last one was.
    std::atomic<bool> bound{false};
    std::atomic<Clock::rep> lastBinding{0};

    // The render thread's, but for leftOut, which the script thread counts and the end reads.
    PlaybackStats stats;
};

std::array<Instance*, 256> s_instances{};

void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16* json) {
    Instance* instance = decoderId ? s_instances[*decoderId] : nullptr;
    if (!instance || !json) {
        return;
    }
    std::string text;
    for (const H264DecoderChar16* unit = json; *unit; ++unit) {
        text.push_back(*unit < 0x80 ? char(*unit) : '?');
    }
    rapidjson::Document info;
    info.Parse(text.c_str());
    if (info.HasParseError() || !info.IsObject() || !info.HasMember("width") ||
        !info.HasMember("height") || !info["width"].IsInt() || !info["height"].IsInt()) {
        return;
    }
    std::lock_guard<std::mutex> lock(instance->reportMutex);
    instance->reportedWidth = info["width"].GetInt();
    instance->reportedHeight = info["height"].GetInt();
    instance->reportPending = true;
}

class Playback {
  public:
    Playback(const PluginEntryPoints& plugin, const SimulatorOptions& options,
             const std::vector<StreamInput>& inputs)
        : plugin_(plugin), options_(options), instances_(size_t(options.instances)) {
        for (size_t i = 0; i < instances_.size(); ++i) {
            Instance& instance = instances_[i];
            instance.id = uint8_t(i);
            instance.input = &inputs[i % inputs.size()];
            instance.stats.id = int(i);
            instance.stats.file = instance.input->file;
        }
    }

    ~Playback() {
        for (Instance& instance : instances_) {
            s_instances[instance.id] = nullptr;
        }
    }

    bool run(PlaybackResult* result, std::string* error) {
        if (!startInstances(error)) {
            return false;
        }
        renderEvent_ = plugin_.nativeRenderEventFunc();
        started_ = Clock::now();
        std::atomic<bool> committing{true};
        std::thread scriptThread([this, &committing] {
            commitAll();
            committing = false;
        });
        render(committing);
        scriptThread.join();
        const bool snapshotsWritten = writeLastSnapshots(error);
        stopInstances();
        result->instances.clear();
        for (Instance& instance : instances_) {
            result->instances.push_back(instance.stats);
        }
        result->uploadMsPerEvent = renderEvents_ ? renderEventMs_ / renderEvents_ : 0;
        result->snapshots = snapshots_;
        return snapshotsWritten && snapshotError_.empty() ? true : fail(error);
    }

  private:
    bool fail(std::string* error) {
        if (error->empty()) {
            *error = snapshotError_;
        }
        return false;
    }

    bool startInstances(std::string* error) {
        for (Instance& instance : instances_) {
            s_instances[instance.id] = &instance;
            const bool h265 = instance.input->codec == annexb::StreamCodec::H265;
            const std::u16string config =
                utf16FromAscii(std::string("{\"isH265\":") + (h265 ? "true" : "false") + "}");
            if (!plugin_.start(instance.id, config.c_str())) {
                *error = "the plugin refused to start decoder " + std::to_string(instance.id);
                return false;
            }
            plugin_.registerCallback(instance.id, &onTextureInfo);
        }
        return true;
    }

    void stopInstances() {
        for (Instance& instance : instances_) {
            pollStatistics(instance);
            plugin_.unregisterCallback(instance.id);
            plugin_.stop(instance.id);
            instance.stats.seconds = millisecondsBetween(started_, finished_) / 1000;
        }
    }

    size_t longestStream() const {
        size_t longest = 0;
        for (const Instance& instance : instances_) {
            longest = std::max(longest, instance.input->units.size());
        }
        return longest;
    }

    // The script thread: commits at the stream's pace (or as fast as it can), waiting for a
    // texture of the reported size after each instance's first access unit, as a host does.
    void commitAll() {
        const size_t frames = longestStream();
        const double fps = options_.fps > 0 ? options_.fps : instances_.front().input->fps;
        // The live stream's clock: it starts over after a wait for a texture size, as a live
        // source does not catch up on the frames it would have sent meanwhile.
        Clock::time_point paceStart = started_;
        for (size_t frame = 0; frame < frames; ++frame) {
            if (!options_.fast) {
                std::this_thread::sleep_until(
                    paceStart + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(double(frame) / fps)));
            }
            const Clock::time_point committing = Clock::now();
            if (commitFrame(frame, fps)) {
                paceStart += Clock::now() - committing;
            }
        }
    }

    // Commits the frame's access unit of every instance; true when it waited for a texture size.
    bool commitFrame(size_t frame, double fps) {
        bool waited = false;
        for (Instance& instance : instances_) {
            const std::vector<annexb::AccessUnit>& units = instance.input->units;
            if (frame >= units.size()) {
                continue;
            }
            if (leftOut(frame)) {
                ++instance.stats.leftOut;
                continue;
            }
            const annexb::AccessUnit& unit = units[frame];
            const uint32_t pts = uint32_t(double(frame) * kPtsUnitsPerSecond / fps);
            plugin_.commitFrame(instance.id, unit.data(), 0, 0, uint32_t(unit.size()), pts);
            if (!instance.bound) {
                awaitTextureSize(instance);
                waited = true;
            }
        }
        return waited;
    }

    // --drop-every N: the Nth, 2Nth, ... unit is lost on its way, as on a lossy network.
    bool leftOut(size_t frame) const {
        return options_.dropEvery > 0 && (frame + 1) % size_t(options_.dropEvery) == 0;
    }

    // The host's call sequence: commit until the callback reports the picture size, bind a
    // texture of that size (the render thread does), then go on committing. Waiting here keeps
    // the pictures after the first from being decoded before any texture can receive them. A
    // stream whose rows the platform pads reports the padded width right after, with its first
    // picture: the wait goes on until the bindings have been quiet for a moment.
    void awaitTextureSize(const Instance& instance) {
        const Clock::time_point deadline = Clock::now() + kFirstPictureTimeout;
        while (Clock::now() < deadline &&
               !(instance.bound &&
                 Clock::now() - Clock::time_point(Clock::duration(instance.lastBinding.load())) >=
                     kReportQuietPeriod)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The render thread, on its own clock: a render event every 1/renderHz seconds while the
    // script thread commits, then until the plugin has decoded or dropped every committed unit
    // and uploaded what it delivered, or no new picture has shown for a while.
    void render(const std::atomic<bool>& committing) {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / options_.renderHz));
        Clock::time_point nextProgress = started_ + std::chrono::seconds(1);
        Clock::time_point lastProgress = Clock::now();
        int shownBefore = 0;
        for (Clock::time_point due = Clock::now();;) {
            std::this_thread::sleep_until(due);
            due += period;
            serviceRenderThread();
            if (totalShown() != shownBefore) {
                shownBefore = totalShown();
                lastProgress = Clock::now();
            }
            if (Clock::now() >= nextProgress) {
                printProgress();
                nextProgress += std::chrono::seconds(1);
            }
            if (!committing && (allDrained() || Clock::now() - lastProgress >= kDrainTimeout)) {
                break;
            }
        }
        finished_ = Clock::now();
        printProgress();
    }

    bool allDrained() const {
        for (const Instance& instance : instances_) {
            if (!instance.stats.plugin.drained()) {
                return false;
            }
        }
        return true;
    }

    int totalShown() const {
        int shown = 0;
        for (const Instance& instance : instances_) {
            shown += instance.stats.shown;
        }
        return shown;
    }

    // What the host's render thread does once per frame: create textures for reported sizes,
    // issue the render event, look at what reached the textures, and read the statistics.
    void serviceRenderThread() {
        for (Instance& instance : instances_) {
            bindReportedTexture(instance);
        }
        const Clock::time_point before = Clock::now();
        renderEvent_(1);
        renderEventMs_ += millisecondsBetween(before, Clock::now());
        ++renderEvents_;
        for (Instance& instance : instances_) {
            instance.retiredTexture.reset();
            observeTexture(instance);
            pollStatistics(instance);
        }
    }

    // A host forwards a keyframe request to its sender; here it is only told.
    void pollStatistics(Instance& instance) {
        if (!plugin_.getStatistics(instance.id, statisticsText_.data(),
                                   int32_t(statisticsText_.size()))) {
            return;
        }
        const std::string json(statisticsText_.data(),
                               std::find(statisticsText_.begin(), statisticsText_.end(), 0));
        const uint64_t requestsBefore = instance.stats.plugin.keyframeRequests;
        if (readPluginFigures(json, &instance.stats.plugin) &&
            instance.stats.plugin.keyframeRequests > requestsBefore) {
            std::printf("decoder %d asks for a keyframe (request %llu)\n", instance.id,
                        (unsigned long long)instance.stats.plugin.keyframeRequests);
        }
    }

    // Binds a texture of the size the callback reported since the last call; true when it did.
    bool bindReportedTexture(Instance& instance) {
        int width = 0, height = 0;
        {
            std::lock_guard<std::mutex> lock(instance.reportMutex);
            if (!instance.reportPending) {
                return false;
            }
            instance.reportPending = false;
            width = instance.reportedWidth;
            height = instance.reportedHeight;
        }
        if (width <= 0 || height <= 0 ||
            (instance.texture && instance.texture->width() == width &&
             instance.texture->height() == height)) {
            return false;
        }
        auto texture = std::make_unique<HostTexture>(width, height);
        const std::u16string description = utf16FromAscii("{\"width\":" + std::to_string(width) +
                                                          ",\"height\":" + std::to_string(height) +
                                                          ",\"mipMap\":false,\"format\":0}");
        plugin_.setNativeTexturePointer(instance.id, texture->nativeHandle(), description.c_str());
        // The plugin uploads into the new texture from now on; the old one goes after the next
        // render event.
        instance.retiredTexture = std::move(instance.texture);
        instance.texture = std::move(texture);
        instance.lastPixels.clear();
        instance.lastBinding = Clock::now().time_since_epoch().count();
        instance.bound = true;
        return true;
    }

    void observeTexture(Instance& instance) {
        if (!instance.texture) {
            return;
        }
        std::vector<uint8_t> pixels = instance.texture->readPixels();
        if (pixels == instance.lastPixels) {
            return;
        }
        instance.lastPixels = std::move(pixels);
        ++instance.stats.shown;
        if (options_.snapshotEvery > 0 && instance.stats.shown % options_.snapshotEvery == 0) {
            char name[64];
            std::snprintf(name, sizeof name, "instance%03d_picture%05d.png", instance.id,
                          instance.stats.shown);
            writeSnapshot(instance, name, &snapshotError_);
        }
    }

    bool writeSnapshot(const Instance& instance, const std::string& name, std::string* error) {
        const std::string path = options_.outDir + "/" + name;
        if (!writePng(path, instance.texture->width(), instance.texture->height(),
                      instance.lastPixels, error)) {
            return false;
        }
        snapshots_.push_back(path);
        return true;
    }

    bool writeLastSnapshots(std::string* error) {
        for (const Instance& instance : instances_) {
            if (!instance.texture || instance.lastPixels.empty()) {
                continue;
            }
            char name[64];
            std::snprintf(name, sizeof name, "instance%03d_last.png", instance.id);
            if (!writeSnapshot(instance, name, error)) {
                return false;
            }
        }
        return true;
    }

    void printProgress() const {
        unsigned long long committed = 0;
        for (const Instance& instance : instances_) {
            committed += instance.stats.plugin.committed;
        }
        std::printf("playing: %5.1f s, %d instance(s), committed %llu, shown %d\n",
                    millisecondsBetween(started_, Clock::now()) / 1000, int(instances_.size()),
                    committed, totalShown());
        std::fflush(stdout);
    }

    const PluginEntryPoints& plugin_;
    const SimulatorOptions& options_;
    std::vector<Instance> instances_;
    H264DecoderRenderEventFunc renderEvent_ = nullptr;
    Clock::time_point started_;
    Clock::time_point finished_;
    double renderEventMs_ = 0;
    int renderEvents_ = 0;
    std::vector<std::string> snapshots_;
    std::string snapshotError_;
    std::array<H264DecoderChar16, H264_DECODER_STATISTICS_CAPACITY> statisticsText_{};
};

}  // namespace

bool loadStreamInput(const std::string& file, const SimulatorOptions& options, StreamInput* input,
                     std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot read " + file;
        return false;
    }
    const std::vector<uint8_t> stream{std::istreambuf_iterator<char>(in), {}};
    input->file = file;
    if (options.codec) {
        input->codec = *options.codec;
    } else if (!annexb::codecFromFileName(file, input->codec)) {
        *error = "cannot tell the codec of " + file + " from its extension; give --codec h264|h265";
        return false;
    }
    if (!annexb::startsWithStartCode(stream.data(), stream.size())) {
        *error = file + " is not an Annex B stream: it does not begin with a start code";
        return false;
    }
    if (!firstNalFitsCodec(firstNalType(stream, input->codec), input->codec)) {
        *error = file + " does not begin like an " + codecName(input->codec) +
                 " stream; is the codec right?";
        return false;
    }
    try {
        input->units = annexb::splitAccessUnits(stream.data(), stream.size(), input->codec);
        const double signalled =
            annexb::signalledFrameRate(stream.data(), stream.size(), input->codec);
        input->fps = options.fps > 0 ? options.fps : signalled > 0 ? signalled : 30;
    } catch (const std::exception& failure) {
        *error = file + ": " + failure.what();
        return false;
    }
    if (input->units.empty()) {
        *error = file + " holds no access unit";
        return false;
    }
    return true;
}

bool runPlayback(const PluginEntryPoints& plugin, const SimulatorOptions& options,
                 const std::vector<StreamInput>& inputs, PlaybackResult* result,
                 std::string* error) {
    Playback playback(plugin, options, inputs);
    return playback.run(result, error);
}
