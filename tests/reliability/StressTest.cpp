// The built library loaded as the host loads it, with threads racing:
//   - every exported function from eight host threads at once, across all 256 decoder ids, with
//     valid and invalid arguments, while the host's render thread issues render events on a real
//     OpenGL context and real streams decode. A watchdog ends the run with every thread's state
//     when any thread stops progressing. RELIABILITY_STRESS_SECONDS sets the duration (default 20);
//   - that watchdog, on an exported call that waits for a host callback that never returns.
#include "AnnexB.h"
#include "HostHarness.h"
#include "SimulatedHostInterfaces.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
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

void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16* json) {
    std::string text;
    for (; *json != 0; ++json) {
        text.push_back(char(*json));
    }
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

// A text argument; `refused` when the call must return false whatever the id.
struct Text {
    std::optional<std::u16string> text;
    bool refused = false;
    const H264DecoderChar16* pointer() const { return text ? text->c_str() : nullptr; }
};

// `accepted`, then a megabyte of padding in and around valid JSON and JSON nested deeper than any
// stack allows, then what no call may accept: NULL and ill-formed UTF-16.
std::vector<Text> texts(std::vector<std::string> accepted) {
    accepted.emplace_back();
    for (int level = 0; level < 1 << 17; ++level) {
        accepted.back() += "{\"width\":";
    }
    std::vector<Text> texts;
    for (const std::string& text : accepted) {
        texts.push_back({utf16(text)});
    }
    texts.push_back({utf16(std::string(1 << 20, ' ') + "{}")});
    texts.push_back({utf16("{\"name\":\"" + std::string(1 << 20, 'x') + "\"}")});
    texts.push_back({utf16(std::string(1 << 20, '['))});
    for (const char16_t* illFormed :
         {u"{}\xD800", u"\xDC00{\"isH265\":true}", u"{\"\xDBFFwidth\":16,\"height\":16}"}) {
        texts.push_back({illFormed, true});
    }
    texts.push_back({std::nullopt, true});
    return texts;
}

struct Clip {
    const testsupport::FixtureClip& fixture;
    std::vector<AccessUnit> units = testsupport::readAccessUnits(fixture);
};

// One committed frame: `data` + `offset` addresses `size` readable bytes, except where the frame
// must be dropped unread (NULL data with a size, or a size of 2^31 or more).
struct Frame {
    const uint8_t* data;
    uint32_t offset;
    uint32_t size;
};

// Everything the workers pick their arguments from; read-only while they run.
struct Arguments {
    std::vector<Clip> clips;
    std::vector<Text> configs = texts(
        {"{}", "{\"isH265\":true}", "{\"isH265\":false,\"videoDelayTimeInMs\":40}",
         "{\"videoDelayTimeInMs\":99999999999999999999}", "{\"videoDelayTimeInMs\":-1}", "{",
         "[1,2", "", "null", "{\"isH265\":\"\\ud800\"}", "{\"isH265\":true,\"isH265\":false}"});
    std::vector<Text> descriptions = texts(
        {textureDescription(320, 240), textureDescription(16, 16), textureDescription(17, 3),
         textureDescription(512, 512), textureDescription(100000, 100000),
         textureDescription(2147483647, 2), textureDescription(-5, 240), textureDescription(0, 0),
         "{\"width\":320,\"height\":240,\"mipMap\":true,\"format\":1}",
         "{\"width\":320,\"height\":240,\"format\":3}", "{}", "{", ""});
    std::vector<void*> textures;  // any id may be given these
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<Frame> frames;

    explicit Arguments(std::initializer_list<const char*> clipNames) {
        constexpr uint32_t kOffset = 13;
        std::mt19937 random(2026);
        for (const char* name : clipNames) {
            clips.push_back({testsupport::fixtureClip(name)});
            for (const AccessUnit& unit : clips.back().units) {
                frames.push_back({unit.data(), 0, uint32_t(unit.size())});
                frames.push_back({unit.data(), 0, uint32_t(unit.size() / 2)});
            }
        }
        for (size_t size : {1, 7, 1000, 70000}) {
            buffers.emplace_back(size);
            for (uint8_t& byte : buffers.back()) {
                byte = uint8_t(random());
            }
        }
        // A real access unit behind bytes that are not part of it.
        const AccessUnit& first = clips.front().units.front();
        buffers.emplace_back(kOffset, 0xEE)
            .insert(buffers.back().end(), first.begin(), first.end());
        for (const auto& buffer : buffers) {
            frames.push_back({buffer.data(), 0, uint32_t(buffer.size())});
        }
        frames.insert(frames.end(), {{buffers.back().data(), kOffset, uint32_t(first.size())},
                                     {nullptr, 0, 0},
                                     {nullptr, 0, 100},
                                     {buffers.front().data(), 0, 0x80000000u},
                                     {buffers.front().data(), 0, 0xFFFFFFFFu}});
    }
};

struct Tally {
    uint64_t calls = 0;
    uint64_t wrong = 0;  // NULL or ill-formed texts accepted, other render event functions
    uint64_t streamRestarts = 0;
};

// One host script thread: random calls on random ids, and one real stream on an id of its own.
void hostScript(int index, const PluginEntryPoints& api, const Arguments& arguments,
                WatchedLane& lane, void* streamTexture, Clock::time_point until, Tally& tally) {
    std::mt19937 random(unsigned(index) * 7919u + 1u);
    const auto pick = [&](size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(random);
    };
    const auto watched = [&](const char* name, uint8_t id, const auto& call) {
        lane.enter(name, id);
        ++tally.calls;
        const struct Leave {
            WatchedLane& lane;
            ~Leave() { lane.leave(); }
        } leave{lane};
        return call();
    };
    const H264DecoderRenderEventFunc renderEvent = api.nativeRenderEventFunc();
    const uint8_t streamId = uint8_t(248 + index);
    const Clip& stream = arguments.clips[size_t(index) % arguments.clips.size()];
    size_t next = 0;
    for (Clock::time_point nextStreamFrame = Clock::now(); Clock::now() < until;) {
        // The stream's next access unit; a stream whose instance another thread stopped (or never
        // started) starts over from its first access unit on a fresh instance.
        if (Clock::now() >= nextStreamFrame) {
            nextStreamFrame = Clock::now() + std::chrono::milliseconds(2);
            const AccessUnit& unit = stream.units[next];
            if (watched("H264Decoder_commitFrame", streamId, [&] {
                    return api.commitFrame(streamId, unit.data(), 0, 0, uint32_t(unit.size()),
                                           uint32_t(next * 3600));
                })) {
                next = (next + 1) % stream.units.size();
            } else {
                const bool h265 = stream.fixture.codec == testsupport::Codec::H265;
                watched("H264Decoder_start", streamId,
                        [&] { api.start(streamId, h265 ? u"{\"isH265\":true}" : u"{}"); });
                watched("H264Decoder_registerCallback", streamId,
                        [&] { api.registerCallback(streamId, &onTextureInfo); });
                next = 0;
                ++tally.streamRestarts;
            }
            if (const uint32_t size = s_reportedSize[streamId].exchange(0)) {
                const std::u16string description =
                    utf16(textureDescription(int(size >> 16), int(size & 0xFFFF)));
                watched("H264Decoder_setNativeTexturePointer", streamId, [&] {
                    api.setNativeTexturePointer(streamId, streamTexture, description.c_str());
                });
            }
        }
        const uint8_t id = uint8_t(random());
        const Text& config = arguments.configs[pick(arguments.configs.size())];
        const Text& description = arguments.descriptions[pick(arguments.descriptions.size())];
        const Frame& frame = arguments.frames[pick(arguments.frames.size())];
        // No texture, a name the host never created (the backend must cope with the host's
        // mistake), or a real one.
        void* const texture =
            std::array<void*, 4>{nullptr, reinterpret_cast<void*>(uintptr_t(0xBAD0)),
                                 arguments.textures[pick(4)], arguments.textures[pick(4)]}[pick(4)];
        switch (pick(7)) {
            case 0:
                tally.wrong += watched("H264Decoder_start", id, [&] {
                    return api.start(id, config.pointer()) && config.refused;
                });
                break;
            case 1:
                watched("H264Decoder_stop", id, [&] { api.stop(id); });
                break;
            case 2:
                watched("H264Decoder_commitFrame", id, [&] {
                    api.commitFrame(id, frame.data, 0, frame.offset, frame.size,
                                    uint32_t(random()));
                });
                break;
            case 3:
                watched("H264Decoder_registerCallback", id,
                        [&] { api.registerCallback(id, pick(4) == 0 ? nullptr : &onTextureInfo); });
                break;
            case 4:
                watched("H264Decoder_unregisterCallback", id, [&] { api.unregisterCallback(id); });
                break;
            case 5:
                tally.wrong += watched("H264Decoder_setNativeTexturePointer", id, [&] {
                    return api.setNativeTexturePointer(id, texture, description.pointer()) &&
                           description.refused;
                });
                break;
            default:
                tally.wrong += watched("H264Decoder_nativeRenderEventFunc", id,
                                       [&] { return api.nativeRenderEventFunc() != renderEvent; });
                break;
        }
    }
    lane.finish();
}

TEST(Stress, EveryExportedFunctionFromEightThreadsWithRenderEventsAndDecodingStreams) {
    constexpr int kHostThreads = 8;
    const char* seconds = std::getenv("RELIABILITY_STRESS_SECONDS");
    const std::chrono::seconds duration(seconds ? std::max(1, std::atoi(seconds)) : 20);
    const auto library = openPlugin();
    ASSERT_TRUE(library);
    const PluginEntryPoints& api = library->api();
    SimulatedHostInterfaces host(kUnityGfxRendererOpenGLCore);
    Arguments arguments{"h264_cbp_320x240", "h265_main_320x240", "h264_repeat_headers_320x240",
                        "h264_tiny_16x16"};
    const testsupport::FixtureClip& clip = arguments.clips.front().fixture;
    const AccessUnit& first = arguments.clips.front().units.front();
    const testsupport::BgraPicture expected = testsupport::readReferencePictures(clip).front();
    // The host's textures: four any id may be given, one for each stream, and two for the ids
    // played after the run, made before it: the plugin's uploads into names the host never
    // created leave errors in the context that a texture made later would take for its own.
    std::vector<std::pair<int, int>> sizes = {{320, 240}, {320, 240}, {16, 16}, {512, 512}};
    for (int index = 0; index < kHostThreads; ++index) {
        const testsupport::FixtureClip& stream = arguments.clips[size_t(index) % 4].fixture;
        sizes.push_back({stream.width, stream.height});
    }
    sizes.insert(sizes.end(), 2, {clip.width, clip.height});
    Watchdog watchdog(std::chrono::seconds(30));
    WatchedLane& renderLane = watchdog.addLane("render thread");

    // The host's render thread owns the OpenGL context, on which the plugin creates its
    // backend's objects, and issues render events back to back.
    std::string whyNot;
    std::vector<void*> textures;
    std::promise<bool> ready;
    std::atomic<bool> stormOver{false};
    std::atomic<uint64_t> renderEvents{0};
    std::thread renderThread([&] {
        if (!makeHostContextCurrent(&whyNot)) {
            ready.set_value(false);
            return;
        }
        api.UnityPluginLoad(host.interfaces());
        std::vector<std::unique_ptr<HostTexture>> hostTextures;
        for (const auto& [width, height] : sizes) {
            hostTextures.push_back(std::make_unique<HostTexture>(width, height));
            textures.push_back(hostTextures.back()->nativeHandle());
        }
        ready.set_value(true);
        const H264DecoderRenderEventFunc renderEvent = api.nativeRenderEventFunc();
        while (!stormOver) {
            renderLane.enter("render event", -1);
            renderEvent(int(renderEvents));
            renderLane.leave();
            ++renderEvents;
            // A host renders frames, not a busy loop: leave the registry to the script threads.
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        // After the storm an id plays as if nothing had happened: the stream's first picture
        // reaches the host's texture through the render event.
        for (const uint8_t id : {0, 255}) {
            const HostTexture& texture = *hostTextures[sizes.size() - (id == 0 ? 2 : 1)];
            renderLane.enter("playing a picture after the run", id);
            EXPECT_TRUE(api.start(id, u"{}"));
            EXPECT_TRUE(api.setNativeTexturePointer(
                id, texture.nativeHandle(),
                utf16(textureDescription(clip.width, clip.height)).c_str()));
            double best = 0;
            for (const auto deadline = Clock::now() + std::chrono::seconds(20);
                 best < 45 && Clock::now() < deadline;) {
                // A commit that meets the decode thread at its queue is dropped: commit again.
                api.commitFrame(id, first.data(), 0, 0, uint32_t(first.size()), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                renderEvent(0);
                best = std::max(best, psnrOfTexture(texture, expected));
            }
            EXPECT_GE(best, 45.0) << "id " << int(id);
            api.stop(id);
            renderLane.leave();
        }
        renderLane.enter("Shutdown device event and UnityPluginUnload", -1);
        host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
        api.UnityPluginUnload();
        hostTextures.clear();
        renderLane.leave();
        renderLane.finish();
    });
    if (!ready.get_future().get()) {
        renderThread.join();
        FAIL() << whyNot;
    }
    arguments.textures.assign(textures.begin(), textures.begin() + 4);
    std::vector<Tally> tallies(kHostThreads);
    std::vector<std::thread> threads;
    const Clock::time_point until = Clock::now() + duration;
    for (size_t index = 0; index < tallies.size(); ++index) {
        threads.emplace_back(hostScript, int(index), std::cref(api), std::cref(arguments),
                             std::ref(watchdog.addLane("host thread " + std::to_string(index))),
                             textures[4 + index], until, std::ref(tallies[index]));
    }
    WatchedLane& teardown = watchdog.addLane("test thread");
    watchdog.start();
    Tally total;
    for (size_t index = 0; index < threads.size(); ++index) {
        threads[index].join();
        total.calls += tallies[index].calls;
        total.wrong += tallies[index].wrong;
        total.streamRestarts += tallies[index].streamRestarts;
    }
    std::cout << "stress: " << total.calls << " exported calls, " << renderEvents.load()
              << " render events, " << s_callbackCalls.load() << " host callback calls, "
              << total.streamRestarts << " stream restarts" << std::endl;
    for (int id = 0; id < 256; ++id) {
        teardown.enter("H264Decoder_stop after the run", id);
        api.stop(uint8_t(id));
        teardown.leave();
        EXPECT_FALSE(api.commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0)) << "id " << id;
    }
    EXPECT_EQ(total.wrong, 0u)
        << "a NULL or ill-formed text was accepted, or the render event function changed";
    EXPECT_EQ(s_malformedTextureInfos.load(), 0u);
    EXPECT_GT(s_callbackCalls.load(), 0u) << "no stream reached a decode session";
    teardown.finish();
    stormOver = true;
    renderThread.join();
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
