// The built library as the host loads it: its internals do not resolve, and instances left
// running end with the process.
#include "AnnexB.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

void* symbol(const char* name) {
    static void* const module = dlopen(PLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    return module ? dlsym(module, name) : nullptr;
}

// Every exported function resolves for the host simulator's loader; the internals a host could
// bind to by mistake do not.
TEST(Module, HidesItsInternals) {
    ASSERT_NE(symbol("H264Decoder_start"), nullptr) << dlerror();
    for (const char* hidden :
         {"h264_execs", "h264_execMutex", "_ZN11H264Decoder11decodeFrameEPKhjjjj",
          "_ZN11H264Decoder14copyRenderDataEPKhiiiiiiii"}) {
        EXPECT_EQ(symbol(hidden), nullptr) << hidden;
    }
}

// At process exit the library tears down every instance still running: the decode thread is
// joined and the process ends normally, even in the middle of a stream.
TEST(Module, InstancesLeftRunningEndWithTheProcess) {
    const auto start =
        reinterpret_cast<bool (*)(uint8_t, const char16_t*)>(symbol("H264Decoder_start"));
    const auto commit =
        reinterpret_cast<bool (*)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t)>(
            symbol("H264Decoder_commitFrame"));
    ASSERT_TRUE(start && commit);
    const std::vector<testsupport::AccessUnit> units =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240"));
    EXPECT_EXIT(
        {
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
