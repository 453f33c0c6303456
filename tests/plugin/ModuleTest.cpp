// The built library as the host loads it: the exported functions resolve by their plain names,
// the library's internals do not, a start, commit and stop work through them, and instances left
// running end with the process.
#include "AnnexB.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

using Start = bool (*)(uint8_t, const char16_t*);
using Stop = void (*)(uint8_t);
using Commit = bool (*)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t);

void* openModule() {
    static void* const module = dlopen(PLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    return module;
}

template <typename Function>
Function function(const char* name) {
    return reinterpret_cast<Function>(dlsym(openModule(), name));
}

TEST(Module, ExportsTheDecoderFunctionsOnlyAndTheyWork) {
    ASSERT_NE(openModule(), nullptr) << dlerror();
    const struct {
        const char* symbol;
        bool exported;
    } symbols[] = {
        {"H264Decoder_start", true},
        {"H264Decoder_stop", true},
        {"H264Decoder_commitFrame", true},
        {"H264Decoder_registerCallback", true},
        {"H264Decoder_unregisterCallback", true},
        {"H264Decoder_setNativeTexturePointer", true},
        {"H264Decoder_getStatistics", true},
        {"H264Decoder_nativeRenderEventFunc", true},
        {"h264_execs", false},
        {"h264_execMutex", false},
        {"_ZN11H264Decoder11decodeFrameEPKhjjjj", false},
        {"_ZN11H264Decoder14copyRenderDataEPKhiiiiiiii", false},
    };
    for (const auto& row : symbols) {
        EXPECT_EQ(dlsym(openModule(), row.symbol) != nullptr, row.exported) << row.symbol;
    }
    const auto start = function<Start>("H264Decoder_start");
    const auto stop = function<Stop>("H264Decoder_stop");
    const auto commit = function<Commit>("H264Decoder_commitFrame");
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
            for (uint8_t id : {uint8_t(1), uint8_t(2)}) {
                function<Start>("H264Decoder_start")(id, u"{}");
                for (const testsupport::AccessUnit& unit : units) {
                    function<Commit>("H264Decoder_commitFrame")(id, unit.data(), 0, 0,
                                                                uint32_t(unit.size()), 0);
                }
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
