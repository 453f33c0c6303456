// The host loads the built library, plays a thousand short streams through it and unloads it,
// and then does it all again: each round ends with the threads and resident memory it began
// with, every stream reaches its decode session, and in the AddressSanitizer build nothing leaks.
// And while the library stays loaded, stopped instances give back their threads and memory.
#include "AnnexB.h"
#include "EglContext.h"
#include "HostProcess.h"
#include "HostTexture.h"
#include "Pictures.h"
#include "PluginLibrary.h"
#include "ProcessFigures.h"
#include "SimulatedHostInterfaces.h"
#include "TexturePicture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <thread>

using namespace reliability;
using namespace testsupport;
using testsupport::AccessUnit;
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
constexpr int kRounds = 2;
// Every this many cycles the picture is followed all the way into the host's texture.
constexpr int kTextureCheckInterval = 100;
// Resident memory a round may end above the start: what the libraries beneath the plugin set up
// once and keep (codec tables, the shader compiler) and the allocator's own slack.
constexpr int64_t kResidentToleranceBytes = 32 << 20;

std::array<std::atomic<uint32_t>, 256> s_textureInfoCalls{};

// Records only: the host callback may not call the plugin back.
void onTextureInfo(const uint8_t* decoderId, const H264DecoderChar16*) {
    ++s_textureInfoCalls[*decoderId];
}

// The host's context lives as long as the host process, never torn down: Mesa's driver, loaded
// with it, stays loaded to the end, and what the driver keeps is not the plugin's to return.
bool makeHostContextCurrent(std::string* error) {
    static headlessgl::EglContext* const context =
        headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, error).release();
    if (context) {
        context->makeCurrent();
    }
    return context != nullptr;
}

struct Stream {
    testsupport::FixtureClip clip = testsupport::fixtureClip("h264_cbp_320x240");
    std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    std::vector<testsupport::BgraPicture> references = testsupport::readReferencePictures(clip);
};

class LoadedPlugin {
  public:
    explicit LoadedPlugin(std::string* error) : library_(PluginLibrary::open(kPath, error)) {
        if (library_) {
            library_->api().UnityPluginLoad(host_.interfaces());
        }
    }
    ~LoadedPlugin() {
        if (library_) {
            host_.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
            library_->api().UnityPluginUnload();
        }
    }
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    bool loaded() const { return library_ != nullptr; }
    const PluginEntryPoints& api() const { return library_->api(); }
    size_t deviceEventCallbacks() const { return host_.registeredCallbackCount(); }

    static constexpr const char* kPath = PLUGIN_MODULE_PATH;

  private:
    SimulatedHostInterfaces host_{kUnityGfxRendererOpenGLCore};
    std::unique_ptr<PluginLibrary> library_;
};

void commitUnit(const PluginEntryPoints& api, uint8_t id, const Stream& stream, size_t unit) {
    api.commitFrame(id, stream.units[unit].data(), 0, 0, uint32_t(stream.units[unit].size()),
                    uint32_t(unit * 3600));
}

// Waits until the host callback of `id` has been called `calls` times since `before`.
bool waitForTextureInfoCalls(uint8_t id, uint32_t before, uint32_t calls) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (s_textureInfoCalls[id].load() - before < calls) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Commits the first two access units; true once the session has reported the picture size.
bool decodeUntilSizeIsReported(const PluginEntryPoints& api, uint8_t id, const Stream& stream) {
    const uint32_t callsBefore = s_textureInfoCalls[id].load();
    for (size_t i = 0; i < 2; ++i) {
        commitUnit(api, id, stream, i);
    }
    return waitForTextureInfoCalls(id, callsBefore, 1);
}

// Render events until the texture shows one of the first two pictures.
bool textureShowsAFirstPicture(const PluginEntryPoints& api, uint8_t id, const HostTexture& texture,
                               const Stream& stream) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        api.nativeRenderEventFunc()(0);
        const testsupport::BgraPicture shown =
            pictureFromTexture(texture.width(), texture.height(), texture.readPixels());
        for (size_t i = 0; i < 2; ++i) {
            if (testsupport::psnr(shown, stream.references[i]) >= 45) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// One start / decode / stop cycle on decoder id `id`.
void playShortStream(const PluginEntryPoints& api, uint8_t id, const HostTexture& texture,
                     const Stream& stream, bool followIntoTexture) {
    const std::string description = "{\"width\":320,\"height\":240,\"mipMap\":false,\"format\":0}";
    ASSERT_TRUE(api.start(id, u"{}")) << "id " << int(id);
    ASSERT_TRUE(api.registerCallback(id, &onTextureInfo));
    ASSERT_TRUE(api.setNativeTexturePointer(
        id, texture.nativeHandle(),
        std::u16string(description.begin(), description.end()).c_str()));
    EXPECT_TRUE(decodeUntilSizeIsReported(api, id, stream)) << "id " << int(id);
    if (followIntoTexture) {
        EXPECT_TRUE(textureShowsAFirstPicture(api, id, texture, stream)) << "id " << int(id);
    }
    api.stop(id);
    EXPECT_FALSE(api.commitFrame(id, nullptr, 0, 0, 0, 0));
}

void printFigures(const char* when, const ProcessFigures& figures) {
    std::cout << "  " << when << ": " << figures.threads << " threads, "
              << double(figures.residentBytes) / (1 << 20) << " MB resident" << std::endl;
}

TEST(Lifetime, LoadPlayAThousandStreamsUnloadAndLoadAgain) {
    useOneAllocatorArena();
    std::string error;
    ASSERT_TRUE(makeHostContextCurrent(&error)) << error;
    const HostTexture texture(320, 240);
    const Stream stream;
    testsupport::keepObjectiveCRuntimeLoaded();

    returnFreeAllocatorPages();
    ProcessFigures beforeFirstLoad = currentProcessFigures();
    beforeFirstLoad.threads = steadyThreadCount();
    std::cout << "lifetime: " << kRounds << " rounds of load, " << kCycles
              << " start/decode/stop cycles, unload\n";
    printFigures("before the first load", beforeFirstLoad);
    for (int round = 0; round < kRounds; ++round) {
        const Clock::time_point begin = Clock::now();
        {
            LoadedPlugin plugin(&error);
            ASSERT_TRUE(plugin.loaded()) << error;
            ASSERT_EQ(plugin.deviceEventCallbacks(), 1u);
            for (int cycle = 0; cycle < kCycles; ++cycle) {
                ASSERT_NO_FATAL_FAILURE(playShortStream(plugin.api(), uint8_t(cycle), texture,
                                                        stream,
                                                        cycle % kTextureCheckInterval == 0));
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        returnFreeAllocatorPages();
        ProcessFigures afterRound = currentProcessFigures();
        afterRound.threads = threadCountOnceJoinedThreadsAreGone(beforeFirstLoad.threads);
        std::cout << "  round " << round + 1 << ": " << seconds << " s, "
                  << double(kCycles) / seconds << " cycles/s" << std::endl;
        printFigures("after unloading", afterRound);
        EXPECT_EQ(afterRound.threads, beforeFirstLoad.threads) << "round " << round + 1;
        // Under a sanitizer, leaks are LeakSanitizer's to find.
        if (!sanitizerOwnsMemory()) {
            EXPECT_LE(afterRound.residentBytes - beforeFirstLoad.residentBytes,
                      kResidentToleranceBytes)
                << "round " << round + 1;
        }
    }
}

// Unloading really unloads: a host that loads the library again gets fresh state, not the old.
TEST(Lifetime, UnloadingRemovesTheModuleFromTheProcess) {
    const std::string path = std::filesystem::canonical(LoadedPlugin::kPath).string();
    std::string error;
    testsupport::keepObjectiveCRuntimeLoaded();
    ASSERT_TRUE(makeHostContextCurrent(&error)) << error;
    const HostTexture texture(320, 240);
    const Stream stream;
    {
        LoadedPlugin plugin(&error);
        ASSERT_TRUE(plugin.loaded()) << error;
        EXPECT_TRUE(isMapped(path));
        ASSERT_NO_FATAL_FAILURE(playShortStream(plugin.api(), 7, texture, stream, true));
    }
    EXPECT_FALSE(isMapped(path)) << path << " stays mapped after dlclose";
}

// Stopping gives back what an instance took, with the library loaded: its decode thread, its
// decode session's thread and the decoder's memory. Measured against the figures before the
// instances started, once the libraries beneath have set up what they keep for good (one
// instance played first).
TEST(Lifetime, StoppedInstancesGiveBackTheirThreadsAndMemory) {
    constexpr double kResidentTolerance = 0.05;
    // 1080 pixels wide: the platform pads its rows, and reports the padded width with the first
    // decoded picture, which tells that decoding has begun.
    const testsupport::FixtureClip large = testsupport::fixtureClip("h264_portrait_1080x1920");
    const std::vector<AccessUnit> largeUnits = testsupport::readAccessUnits(large);
    const Stream small;
    useOneAllocatorArena();
    testsupport::keepObjectiveCRuntimeLoaded();
    std::string error;
    ASSERT_TRUE(makeHostContextCurrent(&error)) << error;
    LoadedPlugin plugin(&error);
    ASSERT_TRUE(plugin.loaded()) << error;
    const PluginEntryPoints& api = plugin.api();

    auto decodeLarge = [&](uint8_t id) {
        ASSERT_TRUE(api.start(id, u"{}"));
        ASSERT_TRUE(api.registerCallback(id, &onTextureInfo));
        const uint32_t before = s_textureInfoCalls[id].load();
        for (size_t i = 0; i < 3; ++i) {
            api.commitFrame(id, largeUnits[i].data(), 0, 0, uint32_t(largeUnits[i].size()), 0);
        }
        ASSERT_TRUE(waitForTextureInfoCalls(id, before, 2)) << "id " << int(id);
    };
    const struct {
        const char* what;
        std::function<void()> play;
    } workloads[] = {
        {"64 ids decoding 1080 x 1920 at once, then all stopped",
         [&] {
             for (int id = 0; id < 64; ++id) {
                 ASSERT_NO_FATAL_FAILURE(decodeLarge(uint8_t(id)));
             }
             for (int id = 0; id < 64; ++id) {
                 api.stop(uint8_t(id));
             }
         }},
        {"start/decode/stop cycles over 16 ids",
         [&] {
             for (int cycle = 0; cycle < kCycles; ++cycle) {
                 const uint8_t id = uint8_t(cycle % 16);
                 ASSERT_TRUE(api.start(id, u"{}"));
                 ASSERT_TRUE(api.registerCallback(id, &onTextureInfo));
                 ASSERT_TRUE(decodeUntilSizeIsReported(api, id, small)) << "cycle " << cycle;
                 api.stop(id);
             }
         }},
    };
    ASSERT_NO_FATAL_FAILURE(decodeLarge(200));
    api.stop(200);
    std::cout << "stopped instances:\n";
    for (const auto& workload : workloads) {
        SCOPED_TRACE(workload.what);
        returnFreeAllocatorPages();
        ProcessFigures before = currentProcessFigures();
        before.threads = steadyThreadCount();
        ASSERT_NO_FATAL_FAILURE(workload.play());
        returnFreeAllocatorPages();
        ProcessFigures after = currentProcessFigures();
        after.threads = threadCountOnceJoinedThreadsAreGone(before.threads);
        std::cout << "  " << workload.what << ":\n";
        printFigures("before", before);
        printFigures("after", after);
        EXPECT_EQ(after.threads, before.threads);
        if (!sanitizerOwnsMemory()) {
            EXPECT_LE(double(after.residentBytes),
                      double(before.residentBytes) * (1 + kResidentTolerance));
        }
    }
}

}  // namespace
