// What the library takes it gives back: the host loads it, plays streams through it and unloads
// it, and then does it all again. While it stays loaded, stopped instances give back their
// threads and memory; each round ends with the threads and resident memory the process began
// with and the module gone from it. In the AddressSanitizer build LeakSanitizer checks that
// nothing leaks.
#include "AnnexB.h"
#include "HostHarness.h"
#include "ProcessFigures.h"
#include "SimulatedHostInterfaces.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace reliability;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// Start/decode/stop cycles of a round. ThreadSanitizer keeps state for the threads a process
// ran and runs out of it after a few thousand; each cycle starts three (the decode thread, the
// session's worker, a conversion helper), so it gets fewer cycles.
#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 250;
#else
constexpr int kCycles = 1000;
#endif

std::array<std::atomic<uint32_t>, 256> s_textureInfoCalls{};

// Records only: the host callback may not call the plugin back.
void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16*) {
    ++s_textureInfoCalls[*decoderId];
}

// Starts an instance on `id`, bound to `texture` if there is one, commits the first `count`
// access units, and waits until the session has reported the picture size `reports` times.
bool play(const PluginEntryPoints& api, uint8_t id, const std::vector<AccessUnit>& units,
          size_t count, uint32_t reports, const HostTexture* texture) {
    const uint32_t before = s_textureInfoCalls[id];
    if (!api.start(id, u"{}") || !api.registerCallback(id, &onTextureInfo) ||
        (texture && !api.setNativeTexturePointer(id, texture->nativeHandle(),
                                                 utf16(textureDescription(320, 240)).c_str()))) {
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
    std::string error;
    ASSERT_TRUE(makeHostContextCurrent(&error)) << error;
    const HostTexture texture(320, 240);
    // 1080 pixels wide: the platform pads its rows, and reports the padded width with the first
    // decoded picture, which tells that decoding has begun.
    const std::vector<AccessUnit> large = readAccessUnits(fixtureClip("h264_portrait_1080x1920"));
    const std::vector<AccessUnit> small = readAccessUnits(fixtureClip("h264_cbp_320x240"));
    const std::vector<BgraPicture> references =
        readReferencePictures(fixtureClip("h264_cbp_320x240"));
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
                                api, texture, {references[0], references[1]},
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
