// The built library loaded with dlopen, as the host loads it.
//   - Stress: every exported function called from eight host threads at once, crowded on a few ids
//     and spread over all 256, with valid and malformed arguments, while the render thread issues
//     render events on a real OpenGL context and real streams decode; a watchdog names the stuck
//     thread of a deadlock. RELIABILITY_STRESS_SECONDS sets the duration (default 20).
//   - Lifetime: what the library takes it gives back. The host loads it, plays streams through it
//     and unloads it, and then does it all again. While it stays loaded, stopped instances give
//     back their threads and memory; each round ends with the threads and resident memory the
//     process began with and the module gone from it. In the AddressSanitizer build LeakSanitizer
//     checks that nothing leaks.
#include "AnnexB.h"
#include "EglContext.h"
#include "HostTexture.h"
#include "Pictures.h"
#include "PluginLibrary.h"
#include "ProcessFigures.h"
#include "SimulatedHostInterfaces.h"
#include "Watchdog.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <random>
#include <thread>

using namespace reliability;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

// ThreadSanitizer's runtime guesses the size of each dynamic TLS block of a library loaded with
// dlopen from the allocation behind it; once the plugin has been unloaded and loaded again it can
// read that size from reused memory and die mapping shadow for a range that does not exist. Not
// following those blocks only means it does not reset its state for them in a new thread.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "intercept_tls_get_addr=0";
}

namespace {

std::unique_ptr<PluginLibrary> openPlugin() {
    keepObjectiveCRuntimeLoaded();
    std::string error;
    auto library = PluginLibrary::open(PLUGIN_MODULE_PATH, &error);
    EXPECT_TRUE(library) << error;
    return library;
}

// Never torn down, as the host's context lives as long as the host: Mesa's driver, loaded with it,
// stays loaded to the end of the process, and what the driver keeps is not the plugin's to return.
bool makeHostContextCurrent() {
    static std::string error;
    static headlessgl::EglContext* const context =
        headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, &error).release();
    EXPECT_TRUE(context) << error;
    if (context) {
        context->makeCurrent();
    }
    return context != nullptr;
}

// Issues render events, `beforeEach` ahead of each, until the host texture shows exactly one of
// the pictures of these MD5s (the texture's channels are RGBA, the MD5s' BGRA); false if none
// shows within 20 s. Needs the texture's context to be current.
template <typename Before>
bool renderUntilShown(const PluginEntryPoints& api, const HostTexture& texture,
                      const std::vector<std::string>& md5s, Before beforeEach) {
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < deadline;) {
        beforeEach();
        api.nativeRenderEventFunc()(0);
        std::vector<uint8_t> pixels = texture.readPixels();
        for (size_t pixel = 0; pixel + 3 < pixels.size(); pixel += 4) {
            std::swap(pixels[pixel], pixels[pixel + 2]);
        }
        const std::string shown = md5Hex({texture.width(), texture.height(), pixels});
        if (std::find(md5s.begin(), md5s.end(), shown) != md5s.end()) {
            return true;
        }
    }
    return false;
}

// What the host callback heard, per decoder id: how often, and the last size (width << 16 |
// height). It may not call the plugin back, so it only records.
std::array<std::atomic<uint32_t>, 256> s_textureInfoCalls{};
std::array<std::atomic<uint32_t>, 256> s_reportedSize{};
std::atomic<uint64_t> s_tornStatistics{0};

void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16* json) {
    const std::string text(json, json + std::char_traits<char16_t>::length(json));
    int width = 0;
    int height = 0;
    std::sscanf(text.c_str(), "{\"width\":%d,\"height\":%d", &width, &height);
    s_reportedSize[*decoderId] = uint32_t(width) << 16 | uint32_t(height);
    ++s_textureInfoCalls[*decoderId];
}

std::u16string textureDescription(int width, int height) {
    const std::string text =
        "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) + "}";
    return {text.begin(), text.end()};
}

// One of `texts`, or NULL.
const H264DecoderChar16* pick(const std::vector<std::u16string>& texts, std::mt19937& random) {
    const size_t index = random() % (texts.size() + 1);
    return index < texts.size() ? texts[index].c_str() : nullptr;
}

// The sizes of the host's textures, and sizes no frame buffer can have.
constexpr std::pair<int, int> kTextureSizes[] = {{320, 240},       {16, 16},        {512, 512},
                                                 {100000, 100000}, {2147483647, 2}, {-5, 240}};

struct Clip {
    const FixtureClip& fixture;
    std::vector<AccessUnit> units = readAccessUnits(fixture);
};

// Everything the workers pick their arguments from; read-only while they run. Which of these each
// call refuses is plugin ExportedApi's to check; here they meet on the same instances at once, and
// uploads of every size meet real textures. Texts may be no JSON or ill-formed UTF-16.
struct Arguments {
    std::vector<Clip> clips;
    std::vector<std::u16string> configs = {
        u"{}", u"{\"isH265\":true}", u"{\"videoDelayTimeInMs\":-1}",
        u"{",  u"{}\xD800",          u"\xDC00{\"isH265\":true}"};
    // Then every size of kTextureSizes.
    std::vector<std::u16string> descriptions = {u"{\"width\":320,\"height\":240,\"format\":3}",
                                                u"{", u"{\"\xDBFFwidth\":16,\"height\":16}"};
    // Any id may be given these: no texture, a name the host never created (the backend must
    // cope with the host's mistake), and the host's textures.
    std::vector<void*> textures = {nullptr, reinterpret_cast<void*>(uintptr_t(0xBAD0))};
    std::vector<uint8_t> noise = std::vector<uint8_t>(70000);
    // Whole and half access units, noise, and frames to be dropped unread.
    std::vector<std::pair<const uint8_t*, uint32_t>> frames = {
        {noise.data(), 7}, {noise.data(), 70000}, {nullptr, 100}, {noise.data(), 0x80000000u}};

    explicit Arguments(std::initializer_list<const char*> clipNames) {
        for (const auto& [width, height] : kTextureSizes) {
            descriptions.push_back(textureDescription(width, height));
        }
        std::mt19937 random(2026);
        for (uint8_t& byte : noise) {
            byte = uint8_t(random());
        }
        for (const char* name : clipNames) {
            clips.push_back({fixtureClip(name)});
            for (const AccessUnit& unit : clips.back().units) {
                frames.push_back({unit.data(), uint32_t(unit.size())});
                frames.push_back({unit.data(), uint32_t(unit.size() / 2)});
            }
        }
    }
};

// One host script thread: random calls, half of them on ids 0 to 15 so that calls meet on the
// same instance, and one real stream on an id of its own.
void hostScript(int index, const PluginEntryPoints& api, const Arguments& arguments,
                WatchedLane& lane, void* streamTexture, Clock::time_point until) {
    static const char* const kCalls[] = {"start",      "stop", "commit",         "register",
                                         "unregister", "bind", "poll statistics"};
    std::mt19937 random(unsigned(index) * 7919u + 1u);
    const uint8_t streamId = uint8_t(248 + index);
    const Clip& stream = arguments.clips[size_t(index) % arguments.clips.size()];
    size_t next = 0;
    for (Clock::time_point nextStreamFrame = Clock::now(); Clock::now() < until;) {
        // The stream's next access unit; a stream whose instance another thread stopped (or never
        // started) starts over from its first access unit on a fresh instance.
        if (Clock::now() >= nextStreamFrame) {
            nextStreamFrame = Clock::now() + std::chrono::milliseconds(2);
            lane.enter("the stream's calls", streamId);
            const AccessUnit& unit = stream.units[next];
            if (api.commitFrame(streamId, unit.data(), 0, 0, uint32_t(unit.size()),
                                uint32_t(next * 3600))) {
                next = (next + 1) % stream.units.size();
            } else {
                const bool h265 = stream.fixture.codec == Codec::H265;
                api.start(streamId, h265 ? u"{\"isH265\":true}" : u"{}");
                api.registerCallback(streamId, &onTextureInfo);
                next = 0;
            }
            if (const uint32_t size = s_reportedSize[streamId].exchange(0)) {
                api.setNativeTexturePointer(
                    streamId, streamTexture,
                    textureDescription(int(size >> 16), int(size & 0xFFFF)).c_str());
            }
            lane.leave();
        }
        const uint8_t id = random() % 2 ? uint8_t(random() % 16) : uint8_t(random());
        const size_t call = random() % std::size(kCalls);
        void* const texture = arguments.textures[random() % arguments.textures.size()];
        const auto& [data, size] = arguments.frames[random() % arguments.frames.size()];
        H264DecoderChar16 statistics[H264_DECODER_STATISTICS_CAPACITY];
        lane.enter(kCalls[call], id);
        switch (call) {
            case 0:
                api.start(id, pick(arguments.configs, random));
                break;
            case 1:
                api.stop(id);
                break;
            case 2:
                api.commitFrame(id, data, 0, 0, size, uint32_t(random()));
                break;
            case 3:
                api.registerCallback(id, random() % 4 ? &onTextureInfo : nullptr);
                break;
            case 4:
                api.unregisterCallback(id);
                break;
            case 5:
                api.setNativeTexturePointer(id, texture, pick(arguments.descriptions, random));
                break;
            default:
                // A poll that succeeds hands out one whole, well-formed text.
                if (api.getStatistics(id, statistics, H264_DECODER_STATISTICS_CAPACITY)) {
                    rapidjson::GenericDocument<rapidjson::UTF16<char16_t>> parsed;
                    parsed.Parse(statistics);
                    s_tornStatistics +=
                        !parsed.IsObject() || !parsed.HasMember(u"keyframeRequests");
                }
                break;
        }
        lane.leave();
    }
    lane.finish();
}

TEST(Stress, EveryExportedFunctionFromEightThreadsWithRenderEventsAndDecodingStreams) {
    constexpr int kHostThreads = 8;
    const char* seconds = std::getenv("RELIABILITY_STRESS_SECONDS");
    const std::chrono::seconds duration(seconds ? std::max(1, std::atoi(seconds)) : 20);
    // This thread is the host's render thread: it owns the OpenGL context, on which the plugin
    // creates its backend's objects, and issues render events back to back.
    ASSERT_TRUE(makeHostContextCurrent());
    const auto library = openPlugin();
    ASSERT_TRUE(library);
    const PluginEntryPoints& api = library->api();
    SimulatedHostInterfaces host(kUnityGfxRendererOpenGLCore);
    api.UnityPluginLoad(host.interfaces());
    Arguments arguments{"h264_cbp_320x240", "h265_main_320x240", "h264_repeat_headers_320x240",
                        "h264_tiny_16x16"};
    const FixtureClip& clip = arguments.clips.front().fixture;
    const AccessUnit& first = arguments.clips.front().units.front();
    // The host's textures: four any id may be given, one for each stream, and two for the ids
    // played after the run, made before it: the plugin's uploads into names the host never
    // created leave errors in the context that a texture made later would take for its own.
    std::deque<HostTexture> textures;
    for (const auto& [width, height] : {std::pair{320, 240}, {320, 240}, {16, 16}, {512, 512}}) {
        arguments.textures.push_back(textures.emplace_back(width, height).nativeHandle());
    }
    const HostTexture* const played[] = {&textures.emplace_back(clip.width, clip.height),
                                         &textures.emplace_back(clip.width, clip.height)};
    Watchdog watchdog(std::chrono::seconds(30));
    WatchedLane& renderLane = watchdog.addLane("render thread");
    std::vector<std::thread> threads;
    const Clock::time_point until = Clock::now() + duration;
    for (int index = 0; index < kHostThreads; ++index) {
        const FixtureClip& stream = arguments.clips[size_t(index) % 4].fixture;
        threads.emplace_back(hostScript, index, std::cref(api), std::cref(arguments),
                             std::ref(watchdog.addLane("host thread " + std::to_string(index))),
                             textures.emplace_back(stream.width, stream.height).nativeHandle(),
                             until);
    }
    watchdog.start();
    const H264DecoderRenderEventFunc renderEvent = api.nativeRenderEventFunc();
    for (int event = 0; Clock::now() < until; ++event) {
        renderLane.enter("render event", -1);
        renderEvent(event);
        renderLane.leave();
        // A host renders frames, not a busy loop: leave the registry to the script threads.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Whatever state the race left, each id is either running or free, and consistently so; a
    // text that is no JSON at all starts an instance with the defaults.
    for (int id = 0; id < 256; ++id) {
        renderLane.enter("start and stop after the run", id);
        const bool running = api.commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0);
        EXPECT_EQ(api.start(uint8_t(id), u"no json at all"), !running) << "id " << id;
        api.stop(uint8_t(id));
        renderLane.leave();
        EXPECT_FALSE(api.commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0)) << "id " << id;
    }
    EXPECT_EQ(s_tornStatistics.load(), 0u);
    EXPECT_TRUE(std::any_of(s_textureInfoCalls.begin(), s_textureInfoCalls.end(),
                            [](const auto& calls) { return calls > 0; }))
        << "no stream reached a decode session";
    // After the storm an id plays as if nothing had happened: the stream's first picture reaches
    // the host's texture through the render event.
    const std::vector<std::string> expected = {readFrameMd5s(clip).front()};
    for (const uint8_t id : {0, 255}) {
        const HostTexture& texture = *played[id == 0 ? 0 : 1];
        renderLane.enter("playing a picture after the run", id);
        EXPECT_TRUE(api.start(id, u"{}"));
        EXPECT_TRUE(api.setNativeTexturePointer(
            id, texture.nativeHandle(), textureDescription(clip.width, clip.height).c_str()));
        const auto commitFirst = [&] {
            // A commit that meets the decode thread at its queue is dropped: commit again.
            api.commitFrame(id, first.data(), 0, 0, uint32_t(first.size()), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        };
        EXPECT_TRUE(renderUntilShown(api, texture, expected, commitFirst)) << "id " << int(id);
        api.stop(id);
        renderLane.leave();
    }
    renderLane.enter("Shutdown device event and UnityPluginUnload", -1);
    host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    api.UnityPluginUnload();
    renderLane.finish();
    EXPECT_EQ(host.registeredCallbackCount(), 0u);
}

// Start/decode/stop cycles of a round. ThreadSanitizer keeps state for the threads a process
// ran and runs out of it after a few thousand; each cycle starts three (the decode thread, the
// session's worker, a conversion helper), so it gets fewer cycles.
#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 250;
#else
constexpr int kCycles = 1000;
#endif

// Starts an instance on `id`, bound to `texture` if there is one, commits the first `count`
// access units, and waits until the session has reported the picture size `reports` times.
bool play(const PluginEntryPoints& api, uint8_t id, const std::vector<AccessUnit>& units,
          size_t count, uint32_t reports, const HostTexture* texture) {
    const uint32_t before = s_textureInfoCalls[id];
    if (!api.start(id, u"{}") || !api.registerCallback(id, &onTextureInfo) ||
        (texture && !api.setNativeTexturePointer(id, texture->nativeHandle(),
                                                 u"{\"width\":320,\"height\":240}"))) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        api.commitFrame(id, units[i].data(), 0, 0, uint32_t(units[i].size()), uint32_t(i * 3600));
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (s_textureInfoCalls[id] - before < reports && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return s_textureInfoCalls[id] - before >= reports;
}

// The process's threads and resident memory once it has settled.
ProcessFigures settledFigures() {
    returnFreeAllocatorPages();
    ProcessFigures figures = currentProcessFigures();
    figures.threads = steadyThreadCount();
    return figures;
}

// Back to `before`'s threads, and to its resident memory give or take `residentSlack`; under a
// sanitizer, leaks are LeakSanitizer's to find.
void expectGivenBack(const ProcessFigures& before, int64_t residentSlack) {
    returnFreeAllocatorPages();
    ProcessFigures after = currentProcessFigures();
    after.threads = threadCountOnceJoinedThreadsAreGone(before.threads);
    EXPECT_EQ(after.threads, before.threads);
    if (!sanitizerOwnsMemory()) {
        EXPECT_LE(after.residentBytes - before.residentBytes, residentSlack)
            << "resident memory from " << (before.residentBytes >> 20) << " MB to "
            << (after.residentBytes >> 20) << " MB";
    }
}

TEST(Lifetime, LoadPlayUnloadTwiceGivingBackWhatInstancesAndTheLibraryTook) {
    // What the libraries beneath the plugin set up once and keep (codec tables, the shader
    // compiler) and the allocator's own slack.
    constexpr int64_t kResidentSlack = 32 << 20;
    const std::string path = std::filesystem::canonical(PLUGIN_MODULE_PATH).string();
    useOneAllocatorArena();
    ASSERT_TRUE(makeHostContextCurrent());
    const HostTexture texture(320, 240);
    // 1080 pixels wide: the platform pads its rows, and reports the padded width with the first
    // decoded picture, which tells that decoding has begun.
    const std::vector<AccessUnit> large = readAccessUnits(fixtureClip("h264_portrait_1080x1920"));
    const std::vector<AccessUnit> small = readAccessUnits(fixtureClip("h264_cbp_320x240"));
    const std::vector<std::string> md5s = readFrameMd5s(fixtureClip("h264_cbp_320x240"));
    keepObjectiveCRuntimeLoaded();
    const ProcessFigures beforeFirstLoad = settledFigures();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            SimulatedHostInterfaces host(kUnityGfxRendererOpenGLCore);
            const auto library = openPlugin();
            ASSERT_TRUE(library);
            const PluginEntryPoints& api = library->api();
            api.UnityPluginLoad(host.interfaces());
            ASSERT_EQ(host.registeredCallbackCount(), 1u);
            EXPECT_TRUE(isMapped(path));
            // Measured once the libraries beneath have set up what they keep for good.
            ASSERT_TRUE(play(api, 200, large, 3, 2, nullptr));
            api.stop(200);
            ProcessFigures before = settledFigures();
            for (int id = 0; id < 64; ++id) {  // 1080 x 1920 on 64 ids at once
                ASSERT_TRUE(play(api, uint8_t(id), large, 3, 2, nullptr)) << "id " << id;
            }
            for (int id = 0; id < 64; ++id) {
                api.stop(uint8_t(id));
            }
            expectGivenBack(before, before.residentBytes / 20);
            before = settledFigures();
            for (int cycle = 0; cycle < kCycles; ++cycle) {
                const uint8_t id = uint8_t(cycle);
                ASSERT_TRUE(play(api, id, small, 2, 1, &texture)) << "id " << int(id);
                // Every hundredth picture is followed all the way into the host's texture.
                EXPECT_TRUE(cycle % 100 != 0 ||
                            renderUntilShown(
                                api, texture, {md5s[0], md5s[1]},
                                [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }))
                    << "id " << int(id);
                api.stop(id);
                EXPECT_FALSE(api.commitFrame(id, nullptr, 0, 0, 0, 0));
            }
            expectGivenBack(before, before.residentBytes / 20);
            host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
            api.UnityPluginUnload();
        }
        // A host that loads the library again gets fresh state, not the old.
        EXPECT_FALSE(isMapped(path)) << path << " stays mapped after dlclose";
        expectGivenBack(beforeFirstLoad, kResidentSlack);
    }
}

}  // namespace
