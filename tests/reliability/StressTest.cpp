// Every exported function from eight host threads at once, across all 256 decoder ids, with valid
// and invalid arguments, while the host's render thread issues render events on a real OpenGL
// context and real streams decode. A watchdog ends the run with every thread's state when any
// thread stops progressing. RELIABILITY_STRESS_SECONDS sets the duration (default 20).
#include "AnnexB.h"
#include "HostProcess.h"
#include "Pictures.h"
#include "PluginLibrary.h"
#include "RenderThread.h"
#include "SimulatedHostInterfaces.h"
#include "TexturePicture.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <thread>

using namespace reliability;
using testsupport::AccessUnit;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWorkers = 8;
// Worker k keeps a real stream playing on decoder id kFirstStreamId + k.
constexpr int kFirstStreamId = 248;
constexpr auto kStallLimit = std::chrono::seconds(30);
constexpr auto kStreamInterval = std::chrono::milliseconds(2);

std::chrono::seconds stressDuration() {
    const char* text = std::getenv("RELIABILITY_STRESS_SECONDS");
    return std::chrono::seconds(text ? std::max(1, std::atoi(text)) : 20);
}

std::u16string utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string textureDescription(int width, int height) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"mipMap\":false,\"format\":0}";
}

// What the host callback heard, process-wide. It may not call the plugin back, so it only
// records: the last reported size per decoder id (width << 16 | height) and any text that is not
// exactly the documented texture info.
std::array<std::atomic<uint32_t>, 256> s_reportedSize{};
std::atomic<uint64_t> s_callbackCalls{0};
std::atomic<uint64_t> s_malformedTextureInfos{0};

int memberValue(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const size_t at = json.find(quoted);
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + quoted.size());
}

void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16* textureInfoJson) {
    std::string text;
    for (const H264DecoderChar16* unit = textureInfoJson; *unit != 0; ++unit) {
        text.push_back(char(*unit));
    }
    const int width = memberValue(text, "width");
    const int height = memberValue(text, "height");
    const std::string expected = "{\"width\":" + std::to_string(width) +
                                 ",\"height\":" + std::to_string(height) +
                                 ",\"format\":0,\"linear\":true,\"mipMap\":false}";
    if (text != expected || width <= 0 || height <= 0) {
        ++s_malformedTextureInfos;
    }
    s_reportedSize[*decoderId].store(uint32_t(width) << 16 | uint32_t(height));
    ++s_callbackCalls;
}

// A text argument; `refused` when the call must return false whatever the id.
struct TextArgument {
    std::optional<std::u16string> text;
    bool refused = false;
    const H264DecoderChar16* pointer() const { return text ? text->c_str() : nullptr; }
};

std::vector<TextArgument> refusedTexts() {
    std::u16string trailingHigh = u"{}";
    trailingHigh.push_back(char16_t(0xD800));
    std::u16string leadingLow = u"{\"isH265\":true}";
    leadingLow.insert(leadingLow.begin(), char16_t(0xDC00));
    std::u16string highBeforeLetter = u"{\"width\":16,\"height\":16}";
    highBeforeLetter.insert(2, 1, char16_t(0xDBFF));
    return {
        {std::nullopt, true}, {trailingHigh, true}, {leadingLow, true}, {highBeforeLetter, true}};
}

std::vector<TextArgument> acceptedTexts(const std::vector<std::string>& texts) {
    std::vector<TextArgument> arguments;
    for (const std::string& text : texts) {
        arguments.push_back({utf16(text), false});
    }
    // A megabyte of padding, inside and around valid JSON, and a million nested arrays.
    arguments.push_back({utf16(std::string(1 << 20, ' ') + "{}"), false});
    arguments.push_back({utf16("{\"name\":\"" + std::string(1 << 20, 'x') + "\"}"), false});
    arguments.push_back({utf16(std::string(1 << 20, '[')), false});
    return arguments;
}

std::vector<TextArgument> configurations() {
    std::vector<TextArgument> configs = acceptedTexts(
        {"{}", "{\"isH265\":true}", "{\"isH265\":false,\"videoDelayTimeInMs\":40}",
         "{\"videoDelayTimeInMs\":99999999999999999999}", "{\"videoDelayTimeInMs\":-1}", "{",
         "[1,2", "", "null", "{\"isH265\":\"\\ud800\"}", "{\"isH265\":true,\"isH265\":false}"});
    for (TextArgument& refused : refusedTexts()) {
        configs.push_back(std::move(refused));
    }
    return configs;
}

std::vector<TextArgument> textureDescriptions() {
    std::vector<TextArgument> descriptions = acceptedTexts(
        {textureDescription(320, 240), textureDescription(16, 16), textureDescription(17, 3),
         textureDescription(512, 512), textureDescription(100000, 100000),
         textureDescription(2147483647, 2), textureDescription(-5, 240), textureDescription(0, 0),
         "{\"width\":320,\"height\":240,\"mipMap\":true,\"format\":1}",
         "{\"width\":320,\"height\":240,\"format\":3}", "{}", "{", ""});
    for (TextArgument& refused : refusedTexts()) {
        descriptions.push_back(std::move(refused));
    }
    return descriptions;
}

// One committed frame's arguments: `data` + `offset` addresses `size` readable bytes, except
// where the frame must be dropped unread (NULL data with a size, or a size of 2^31 or more).
struct FrameArgument {
    const uint8_t* data;
    uint32_t offset;
    uint32_t size;
};

struct Clip {
    std::string name;
    std::string config;
    std::vector<AccessUnit> units;
};

Clip loadClip(const std::string& name) {
    const testsupport::FixtureClip& clip = testsupport::fixtureClip(name);
    return {name, clip.codec == testsupport::Codec::H265 ? "{\"isH265\":true}" : "{}",
            testsupport::readAccessUnits(clip)};
}

// Everything the workers pick their arguments from; read-only while they run.
struct Arguments {
    static constexpr uint32_t kOffset = 13;
    std::vector<Clip> clips;
    std::vector<TextArgument> configs = configurations();
    std::vector<TextArgument> descriptions = textureDescriptions();
    std::vector<void*> textures;
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<FrameArgument> frames;

    void addFrames(std::mt19937& random) {
        for (const Clip& clip : clips) {
            for (const AccessUnit& unit : clip.units) {
                frames.push_back({unit.data(), 0, uint32_t(unit.size())});
                frames.push_back({unit.data(), 0, uint32_t(unit.size() / 2)});
            }
        }
        for (size_t size : {size_t(1), size_t(7), size_t(1000), size_t(70000)}) {
            std::vector<uint8_t> garbage(size);
            for (uint8_t& byte : garbage) {
                byte = uint8_t(random());
            }
            buffers.push_back(std::move(garbage));
        }
        // A real access unit behind bytes that are not part of it.
        const AccessUnit& first = clips.front().units.front();
        std::vector<uint8_t> behindOffset(kOffset + first.size(), 0xEE);
        std::copy(first.begin(), first.end(), behindOffset.begin() + kOffset);
        buffers.push_back(std::move(behindOffset));
        for (const auto& buffer : buffers) {
            frames.push_back({buffer.data(), 0, uint32_t(buffer.size())});
        }
        frames.push_back({buffers.back().data(), kOffset, uint32_t(first.size())});
        frames.push_back({nullptr, 0, 0});
        frames.push_back({nullptr, 0, 100});
        frames.push_back({buffers.front().data(), 0, 0x80000000u});
        frames.push_back({buffers.front().data(), 0, 0xFFFFFFFFu});
    }
};

enum Operation { Start, Stop, Commit, Register, Unregister, Bind, RenderEventFunc, kOperations };

constexpr const char* kOperationNames[kOperations] = {"H264Decoder_start",
                                                      "H264Decoder_stop",
                                                      "H264Decoder_commitFrame",
                                                      "H264Decoder_registerCallback",
                                                      "H264Decoder_unregisterCallback",
                                                      "H264Decoder_setNativeTexturePointer",
                                                      "H264Decoder_nativeRenderEventFunc"};

// Counts a worker keeps; summed after the run.
struct Tally {
    std::array<uint64_t, kOperations> calls{};
    uint64_t refusedButAccepted = 0;
    uint64_t renderEventFuncChanged = 0;
    uint64_t streamRestarts = 0;
};

// One host script thread: random calls on random ids, and one real stream on an id of its own.
class Worker {
  public:
    Worker(int index, const PluginEntryPoints& api, const Arguments& arguments, WatchedLane& lane,
           void* streamTexture)
        : api_(api),
          arguments_(arguments),
          lane_(lane),
          random_(unsigned(index) * 7919u + 1u),
          streamId_(uint8_t(kFirstStreamId + index)),
          stream_(arguments.clips[size_t(index) % arguments.clips.size()]),
          streamTexture_(streamTexture),
          renderEvent_(api.nativeRenderEventFunc()) {}

    void run(Clock::time_point until) {
        Clock::time_point nextStreamFrame = Clock::now();
        while (Clock::now() < until) {
            if (Clock::now() >= nextStreamFrame) {
                playStream();
                nextStreamFrame = Clock::now() + kStreamInterval;
            }
            callAtRandom();
        }
        lane_.finish();
    }

    const Tally& tally() const { return tally_; }

  private:
    template <typename Call>
    auto watched(Operation operation, uint8_t decoderId, Call call) {
        lane_.enter(kOperationNames[operation], decoderId);
        const auto result = call();
        lane_.leave();
        ++tally_.calls[operation];
        return result;
    }

    void callAtRandom() {
        const uint8_t id = uint8_t(random_());
        switch (Operation(pick(kOperations))) {
            case Start: {
                const TextArgument& config = pickFrom(arguments_.configs);
                expectRefusal(config,
                              watched(Start, id, [&] { return api_.start(id, config.pointer()); }));
                break;
            }
            case Stop:
                watched(Stop, id, [&] {
                    api_.stop(id);
                    return true;
                });
                break;
            case Commit: {
                const FrameArgument& frame = pickFrom(arguments_.frames);
                watched(Commit, id, [&] {
                    return api_.commitFrame(id, frame.data, 0, frame.offset, frame.size,
                                            uint32_t(random_()));
                });
                break;
            }
            case Register:
                watched(Register, id, [&] {
                    return api_.registerCallback(id, pick(4) == 0 ? nullptr : &onTextureInfo);
                });
                break;
            case Unregister:
                watched(Unregister, id, [&] { return api_.unregisterCallback(id); });
                break;
            case Bind:
                bindAtRandom(id);
                break;
            default:
                if (watched(RenderEventFunc, id, [&] { return api_.nativeRenderEventFunc(); }) !=
                    renderEvent_) {
                    ++tally_.renderEventFuncChanged;
                }
                break;
        }
    }

    void bindAtRandom(uint8_t id) {
        const TextArgument& description = pickFrom(arguments_.descriptions);
        void* texture = nullptr;
        switch (pick(4)) {
            case 0:
                break;
            case 1:
                // A name the host never created: the backend must cope with the host's mistake.
                texture = reinterpret_cast<void*>(uintptr_t(0xBAD0));
                break;
            default:
                texture = pickFrom(arguments_.textures);
                break;
        }
        expectRefusal(description, watched(Bind, id, [&] {
                          return api_.setNativeTexturePointer(id, texture, description.pointer());
                      }));
    }

    // The stream's next access unit; a stream whose instance another thread stopped (or never
    // started) starts over from its first access unit on a fresh instance.
    void playStream() {
        const AccessUnit& unit = stream_.units[streamNext_];
        const bool running = watched(Commit, streamId_, [&] {
            return api_.commitFrame(streamId_, unit.data(), 0, 0, uint32_t(unit.size()),
                                    uint32_t(streamNext_ * 3600));
        });
        if (!running) {
            restartStream();
            return;
        }
        streamNext_ = (streamNext_ + 1) % stream_.units.size();
        const uint32_t reported = s_reportedSize[streamId_].exchange(0);
        if (reported != 0) {
            const std::u16string description =
                utf16(textureDescription(int(reported >> 16), int(reported & 0xFFFF)));
            watched(Bind, streamId_, [&] {
                return api_.setNativeTexturePointer(streamId_, streamTexture_, description.c_str());
            });
        }
    }

    void restartStream() {
        const std::u16string config = utf16(stream_.config);
        watched(Start, streamId_, [&] { return api_.start(streamId_, config.c_str()); });
        watched(Register, streamId_,
                [&] { return api_.registerCallback(streamId_, &onTextureInfo); });
        streamNext_ = 0;
        ++tally_.streamRestarts;
    }

    void expectRefusal(const TextArgument& argument, bool result) {
        if (argument.refused && result) {
            ++tally_.refusedButAccepted;
        }
    }

    size_t pick(size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(random_);
    }
    template <typename T>
    const T& pickFrom(const std::vector<T>& values) {
        return values[pick(values.size())];
    }

    const PluginEntryPoints& api_;
    const Arguments& arguments_;
    WatchedLane& lane_;
    std::mt19937 random_;
    uint8_t streamId_;
    const Clip& stream_;
    void* streamTexture_;
    size_t streamNext_ = 0;
    H264DecoderRenderEventFunc renderEvent_;
    Tally tally_;
};

Tally sum(const std::vector<std::unique_ptr<Worker>>& workers) {
    Tally total;
    for (const auto& worker : workers) {
        const Tally& tally = worker->tally();
        for (int operation = 0; operation < kOperations; ++operation) {
            total.calls[operation] += tally.calls[operation];
        }
        total.refusedButAccepted += tally.refusedButAccepted;
        total.renderEventFuncChanged += tally.renderEventFuncChanged;
        total.streamRestarts += tally.streamRestarts;
    }
    return total;
}

void printFigures(const Tally& total, uint64_t renderEvents, double seconds) {
    uint64_t calls = 0;
    std::cout << "stress: " << kWorkers << " host threads for " << seconds << " s\n";
    for (int operation = 0; operation < kOperations; ++operation) {
        calls += total.calls[operation];
        std::cout << "  " << kOperationNames[operation] << ": " << total.calls[operation]
                  << " calls, " << uint64_t(double(total.calls[operation]) / seconds) << "/s\n";
    }
    std::cout << "  all exported functions: " << calls << " calls, "
              << uint64_t(double(calls) / seconds) << "/s\n"
              << "  render events: " << renderEvents << ", "
              << uint64_t(double(renderEvents) / seconds) << "/s\n"
              << "  host callback calls: " << s_callbackCalls.load()
              << ", stream restarts: " << total.streamRestarts << std::endl;
}

// After the storm an id plays as if nothing had happened: the stream's first picture reaches the
// host's texture through the render event.
double psnrOfFirstPictureInTexture(const PluginEntryPoints& api, RenderThread& renderThread,
                                   uint8_t id, void* texture) {
    const testsupport::FixtureClip& clip = testsupport::fixtureClip("h264_cbp_320x240");
    const AccessUnit firstUnit = testsupport::readAccessUnits(clip).front();
    const testsupport::BgraPicture expected = testsupport::readReferencePictures(clip).front();
    EXPECT_TRUE(api.start(id, u"{}"));
    EXPECT_TRUE(api.setNativeTexturePointer(
        id, texture, utf16(textureDescription(clip.width, clip.height)).c_str()));
    double best = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (best < 45 && Clock::now() < deadline) {
        // A commit that meets the decode thread at its queue is dropped: commit again.
        api.commitFrame(id, firstUnit.data(), 0, 0, uint32_t(firstUnit.size()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const testsupport::BgraPicture shown =
            pictureFromTexture(clip.width, clip.height, renderThread.readTexture(texture));
        best = std::max(best, testsupport::psnr(shown, expected));
    }
    api.stop(id);
    return best;
}

TEST(Stress, EveryExportedFunctionFromEightThreadsWithRenderEventsAndDecodingStreams) {
    testsupport::keepObjectiveCRuntimeLoaded();
    std::string error;
    const auto library = PluginLibrary::open(PLUGIN_MODULE_PATH, &error);
    ASSERT_TRUE(library) << error;
    const PluginEntryPoints& api = library->api();
    SimulatedHostInterfaces host(kUnityGfxRendererOpenGLCore);

    Watchdog watchdog(kStallLimit);
    RenderThread renderThread(api, host, watchdog.addLane("render thread"));
    ASSERT_TRUE(renderThread.ready(&error)) << error;

    Arguments arguments;
    for (const char* clip : {"h264_cbp_320x240", "h265_main_320x240", "h264_repeat_headers_320x240",
                             "h264_tiny_16x16"}) {
        arguments.clips.push_back(loadClip(clip));
    }
    std::mt19937 random(2026);
    arguments.addFrames(random);
    for (const auto& [width, height] : {std::pair{320, 240}, {320, 240}, {16, 16}, {512, 512}}) {
        arguments.textures.push_back(renderThread.createTexture(width, height));
    }
    std::vector<std::unique_ptr<Worker>> workers;
    for (int index = 0; index < kWorkers; ++index) {
        const Clip& clip = arguments.clips[size_t(index) % arguments.clips.size()];
        const int width = clip.name == "h264_tiny_16x16" ? 16 : 320;
        const int height = clip.name == "h264_tiny_16x16" ? 16 : 240;
        workers.push_back(std::make_unique<Worker>(
            index, api, arguments, watchdog.addLane("host thread " + std::to_string(index)),
            renderThread.createTexture(width, height)));
    }
    // Made before the run: the plugin's uploads into names the host never created leave errors
    // in the context that a texture made later would take for its own.
    std::map<uint8_t, void*> afterRunTextures;
    for (uint8_t id : {uint8_t(0), uint8_t(255)}) {
        afterRunTextures[id] = renderThread.createTexture(320, 240);
    }
    WatchedLane& teardown = watchdog.addLane("test thread");
    watchdog.start();

    const Clock::time_point begin = Clock::now();
    const uint64_t renderEventsBefore = renderThread.renderEvents();
    std::vector<std::thread> threads;
    for (const auto& worker : workers) {
        threads.emplace_back(&Worker::run, worker.get(), begin + stressDuration());
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const Tally total = sum(workers);
    printFigures(total, renderThread.renderEvents() - renderEventsBefore, seconds);

    for (int id = 0; id < 256; ++id) {
        teardown.enter("H264Decoder_stop after the run", id);
        api.stop(uint8_t(id));
        teardown.leave();
        EXPECT_FALSE(api.commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0)) << "id " << id;
    }
    EXPECT_EQ(total.refusedButAccepted, 0u) << "a NULL or ill-formed text was accepted";
    EXPECT_EQ(total.renderEventFuncChanged, 0u);
    EXPECT_EQ(s_malformedTextureInfos.load(), 0u);
    EXPECT_GT(s_callbackCalls.load(), 0u) << "no stream reached a decode session";
    for (const auto& [id, texture] : afterRunTextures) {
        teardown.enter("playing a picture after the run", id);
        EXPECT_GE(psnrOfFirstPictureInTexture(api, renderThread, id, texture), 45.0)
            << "id " << int(id);
        teardown.leave();
    }
    renderThread.stop();
    teardown.finish();
    watchdog.stop();
    EXPECT_EQ(host.registeredCallbackCount(), 0u);
}

}  // namespace
