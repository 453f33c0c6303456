// The built library as the host loads it: the exported functions resolve by their plain names,
// the library's internals do not, and a start, commit and stop work through them.
#include "AnnexB.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void* openModule() {
    static void* const module = dlopen(PLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    return module;
}

TEST(Module, ExportsTheDecoderFunctionsByTheirPlainNames) {
    void* module = openModule();
    ASSERT_NE(module, nullptr) << dlerror();
    for (const char* name : {"H264Decoder_start", "H264Decoder_stop", "H264Decoder_commitFrame",
                             "H264Decoder_registerCallback", "H264Decoder_unregisterCallback",
                             "H264Decoder_setNativeTexturePointer"}) {
        EXPECT_NE(dlsym(module, name), nullptr) << name;
    }
}

TEST(Module, HidesItsInternals) {
    void* module = openModule();
    ASSERT_NE(module, nullptr) << dlerror();
    for (const char* name :
         {"h264_execs", "h264_execMutex", "_ZN11H264Decoder11decodeFrameEPKhjjjj",
          "_ZN11H264Decoder14copyRenderDataEPKhiiiiiiii"}) {
        EXPECT_EQ(dlsym(module, name), nullptr) << name;
    }
}

TEST(Module, StartsCommitsAndStopsThroughTheLoadedFunctions) {
    void* module = openModule();
    ASSERT_NE(module, nullptr) << dlerror();
    using Start = bool (*)(uint8_t, const char16_t*);
    using Stop = void (*)(uint8_t);
    using Commit = bool (*)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t);
    const auto start = reinterpret_cast<Start>(dlsym(module, "H264Decoder_start"));
    const auto stop = reinterpret_cast<Stop>(dlsym(module, "H264Decoder_stop"));
    const auto commit = reinterpret_cast<Commit>(dlsym(module, "H264Decoder_commitFrame"));
    ASSERT_TRUE(start && stop && commit);
    const uint8_t unit[] = {0, 0, 0, 1, 0x09, 0xF0};
    EXPECT_TRUE(start(250, u"{}"));
    EXPECT_FALSE(start(250, u"{}"));
    EXPECT_TRUE(commit(250, unit, 0, 0, sizeof unit, 0));
    stop(250);
    EXPECT_FALSE(commit(250, unit, 0, 0, sizeof unit, 0));
}

// At process exit the library tears down every instance still running: the decode thread is
// joined and the process ends normally, even in the middle of a stream.
TEST(Module, InstancesLeftRunningEndWithTheProcess) {
    const std::vector<testsupport::AccessUnit> units =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
    EXPECT_EXIT(
        {
            void* module = openModule();
            using Start = bool (*)(uint8_t, const char16_t*);
            using Commit =
                bool (*)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t);
            const auto start = reinterpret_cast<Start>(dlsym(module, "H264Decoder_start"));
            const auto commit = reinterpret_cast<Commit>(dlsym(module, "H264Decoder_commitFrame"));
            for (uint8_t id : {uint8_t(1), uint8_t(2)}) {
                start(id, u"{}");
                for (const testsupport::AccessUnit& unit : units) {
                    commit(id, unit.data(), 0, 0, uint32_t(unit.size()), 0);
                }
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
