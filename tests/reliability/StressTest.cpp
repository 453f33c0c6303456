// The built library loaded as the host loads it, with threads racing:
//   - every exported function from eight host threads at once, crowded on a few ids and spread
//     over all 256, with valid and invalid arguments, while the host's render thread issues
//     render events on a real OpenGL context and real streams decode. A watchdog ends the run with
//     every thread's state when any thread stops progressing. RELIABILITY_STRESS_SECONDS sets the
//     duration (default 20);
//   - that watchdog, on an exported call that waits for a host callback that never returns.
#include "AnnexB.h"
#include "HostHarness.h"
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
#include <random>
#include <thread>

using namespace reliability;
using testsupport::AccessUnit;
using Clock = std::chrono::steady_clock;

namespace {

// What the host callback heard, process-wide. It may not call the plugin back, so it only
// records: the last size reported per decoder id (width << 16 | height), and any text that is
// not exactly the documented texture info.
std::array<std::atomic<uint32_t>, 256> s_reportedSize{};
std::atomic<uint64_t> s_callbackCalls{0};
std::atomic<uint64_t> s_malformedTextureInfos{0};
// NULL or ill-formed texts accepted, statistics not whole, other render event functions.
std::atomic<uint64_t> s_wrongAnswers{0};

void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16* json) {
    const std::string text(json, json + std::char_traits<char16_t>::length(json));
    int width = 0;
    int height = 0;
    std::sscanf(text.c_str(), "{\"width\":%d,\"height\":%d", &width, &height);
    if (width <= 0 || height <= 0 ||
        text != "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                    ",\"format\":0,\"linear\":true,\"mipMap\":false}") {
        ++s_malformedTextureInfos;
    }
    s_reportedSize[*decoderId] = uint32_t(width) << 16 | uint32_t(height);
    ++s_callbackCalls;
}

// The texts one argument is picked from: well-formed ones, then what no call may accept,
// ill-formed UTF-16 and NULL.
class Texts {
  public:
    Texts(std::initializer_list<std::string> wellFormed) {
        for (const std::string& text : wellFormed) {
            texts_.push_back(utf16(text));
        }
        texts_.insert(texts_.end(), {u"{}\xD800", u"\xDC00{\"isH265\":true}",
                                     u"{\"\xDBFFwidth\":16,\"height\":16}"});
    }
    const H264DecoderChar16* pick(std::mt19937& random, bool& refused) const {
        const size_t index = random() % (texts_.size() + 1);
        refused = index + 3 >= texts_.size();
        return index < texts_.size() ? texts_[index].c_str() : nullptr;
    }

  private:
    std::vector<std::u16string> texts_;
};

struct Clip {
    const testsupport::FixtureClip& fixture;
    std::vector<AccessUnit> units = testsupport::readAccessUnits(fixture);
};

// Everything the workers pick their arguments from; read-only while they run. The exported
// functions' answers to each kind of argument are plugin ExportedApi's to check; here they meet
// on the same instances at once, and uploads of every size meet real textures.
struct Arguments {
    std::vector<Clip> clips;
    Texts configs{"{}", "{\"isH265\":true}", "{\"videoDelayTimeInMs\":-1}", "{"};
    Texts descriptions{textureDescription(320, 240),
                       textureDescription(16, 16),
                       textureDescription(512, 512),
                       textureDescription(100000, 100000),
                       textureDescription(2147483647, 2),
                       textureDescription(-5, 240),
                       "{\"width\":320,\"height\":240,\"format\":3}",
                       "{"};
    std::vector<void*> textures;  // any id may be given these
    std::vector<uint8_t> noise = std::vector<uint8_t>(70000);
    // Whole and half access units, noise, and frames to be dropped unread.
    std::vector<std::pair<const uint8_t*, uint32_t>> frames = {
        {noise.data(), 7}, {noise.data(), 70000}, {nullptr, 100}, {noise.data(), 0x80000000u}};

    explicit Arguments(std::initializer_list<const char*> clipNames) {
        std::mt19937 random(2026);
        for (uint8_t& byte : noise) {
            byte = uint8_t(random());
        }
        for (const char* name : clipNames) {
            clips.push_back({testsupport::fixtureClip(name)});
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
    static const char* const kCalls[] = {"H264Decoder_start",
                                         "H264Decoder_stop",
                                         "H264Decoder_commitFrame",
                                         "H264Decoder_registerCallback",
                                         "H264Decoder_unregisterCallback",
                                         "H264Decoder_setNativeTexturePointer",
                                         "H264Decoder_getStatistics",
                                         "H264Decoder_nativeRenderEventFunc"};
    std::mt19937 random(unsigned(index) * 7919u + 1u);
    const H264DecoderRenderEventFunc renderEvent = api.nativeRenderEventFunc();
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
                const bool h265 = stream.fixture.codec == testsupport::Codec::H265;
                api.start(streamId, h265 ? u"{\"isH265\":true}" : u"{}");
                api.registerCallback(streamId, &onTextureInfo);
                next = 0;
            }
            if (const uint32_t size = s_reportedSize[streamId].exchange(0)) {
                api.setNativeTexturePointer(
                    streamId, streamTexture,
                    utf16(textureDescription(int(size >> 16), int(size & 0xFFFF))).c_str());
            }
            lane.leave();
        }
        const uint8_t id = random() % 2 ? uint8_t(random() % 16) : uint8_t(random());
        const size_t call = random() % std::size(kCalls);
        bool refused = false;
        // No texture, a name the host never created (the backend must cope with the host's
        // mistake), or a real one.
        void* const texture = std::array<void*, 4>{
            nullptr, reinterpret_cast<void*>(uintptr_t(0xBAD0)), arguments.textures[random() % 4],
            arguments.textures[random() % 4]}[random() % 4];
        const auto& [data, size] = arguments.frames[random() % arguments.frames.size()];
        H264DecoderChar16 statistics[H264_DECODER_STATISTICS_CAPACITY];
        lane.enter(kCalls[call], id);
        switch (call) {
            case 0:
                s_wrongAnswers += api.start(id, arguments.configs.pick(random, refused)) && refused;
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
                s_wrongAnswers += api.setNativeTexturePointer(
                                      id, texture, arguments.descriptions.pick(random, refused)) &&
                                  refused;
                break;
            case 6:
                // A poll that succeeds hands out one whole, well-formed text.
                if (api.getStatistics(id, statistics, H264_DECODER_STATISTICS_CAPACITY)) {
                    const std::string json(statistics,
                                           std::find(statistics, std::end(statistics), 0));
                    rapidjson::Document parsed;
                    parsed.Parse(json.c_str());
                    s_wrongAnswers += !parsed.IsObject() || !parsed.HasMember("keyframeRequests");
                }
                break;
            default:
                s_wrongAnswers += api.nativeRenderEventFunc() != renderEvent;
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
    std::string error;
    ASSERT_TRUE(makeHostContextCurrent(&error)) << error;
    const auto library = openPlugin();
    ASSERT_TRUE(library);
    const PluginEntryPoints& api = library->api();
    SimulatedHostInterfaces host(kUnityGfxRendererOpenGLCore);
    api.UnityPluginLoad(host.interfaces());
    Arguments arguments{"h264_cbp_320x240", "h265_main_320x240", "h264_repeat_headers_320x240",
                        "h264_tiny_16x16"};
    const testsupport::FixtureClip& clip = arguments.clips.front().fixture;
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
        const testsupport::FixtureClip& stream = arguments.clips[size_t(index) % 4].fixture;
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
    EXPECT_EQ(s_wrongAnswers.load(), 0u)
        << "a NULL or ill-formed text was accepted, statistics came out torn, or the render "
           "event function changed";
    EXPECT_EQ(s_malformedTextureInfos.load(), 0u);
    EXPECT_GT(s_callbackCalls.load(), 0u) << "no stream reached a decode session";
    // After the storm an id plays as if nothing had happened: the stream's first picture reaches
    // the host's texture through the render event.
    const std::vector<testsupport::BgraPicture> expected = {
        testsupport::readReferencePictures(clip).front()};
    for (const uint8_t id : {0, 255}) {
        const HostTexture& texture = *played[id == 0 ? 0 : 1];
        renderLane.enter("playing a picture after the run", id);
        EXPECT_TRUE(api.start(id, u"{}"));
        EXPECT_TRUE(api.setNativeTexturePointer(
            id, texture.nativeHandle(),
            utf16(textureDescription(clip.width, clip.height)).c_str()));
        EXPECT_TRUE(renderUntilShown(api, texture, expected,
                                     [&] {
                                         // A commit that meets the decode thread at its queue is
                                         // dropped: commit again.
                                         api.commitFrame(id, first.data(), 0, 0,
                                                         uint32_t(first.size()), 0);
                                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                     }))
            << "id " << int(id);
        api.stop(id);
        renderLane.leave();
    }
    renderLane.enter("Shutdown device event and UnityPluginUnload", -1);
    host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    api.UnityPluginUnload();
    renderLane.finish();
    watchdog.stop();
    EXPECT_EQ(host.registeredCallbackCount(), 0u);
}

void neverReturns(const uint8_t*, const H264DecoderChar16*) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// H264Decoder_stop waits for its instance's current unit, and the host callback inside that unit
// never returns: the watchdog ends the process, naming the call that waits.
TEST(WatchdogDeathTest, AbortsNamingTheStuckCallWhenACallbackNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            const auto library = openPlugin();
            const AccessUnit first =
                testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240")).front();
            Watchdog watchdog(std::chrono::seconds(2));
            WatchedLane& host = watchdog.addLane("host thread");
            watchdog.start();
            library->api().start(9, u"{}");
            library->api().registerCallback(9, &neverReturns);
            library->api().commitFrame(9, first.data(), 0, 0, uint32_t(first.size()), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            host.enter("H264Decoder_stop", 9);
            library->api().stop(9);
            host.leave();
        },
        "host thread made no progress for 2 s.*\n.*host thread: H264Decoder_stop "
        "\\(decoder id 9\\), 0 calls done");
}

}  // namespace
