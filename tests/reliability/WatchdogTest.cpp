// The watchdog that guards the stress run catches a stuck exported call: H264Decoder_stop waits
// for its instance's current unit, and a host callback inside that unit never returns.
#include "AnnexB.h"
#include "PluginLibrary.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr uint8_t kId = 9;
const PluginEntryPoints* s_api = nullptr;

// A host callback that never returns.
void neverReturns(const uint8_t*, const H264DecoderChar16*) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

void stopWhileTheCallbackHangs() {
    std::string error;
    const auto library = PluginLibrary::open(PLUGIN_MODULE_PATH, &error);
    if (!library) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    s_api = &library->api();
    const testsupport::AccessUnit first =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240")).front();
    reliability::Watchdog watchdog(std::chrono::seconds(2));
    reliability::WatchedLane& host = watchdog.addLane("host thread");
    watchdog.start();
    s_api->start(kId, u"{}");
    s_api->registerCallback(kId, &neverReturns);
    s_api->commitFrame(kId, first.data(), 0, 0, uint32_t(first.size()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    host.enter("H264Decoder_stop", kId);
    s_api->stop(kId);
    host.leave();
}

TEST(WatchdogDeathTest, AbortsNamingTheStuckCallWhenACallbackNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(stopWhileTheCallbackHangs(),
                 "host thread made no progress for 2 s.*\n.*host thread: H264Decoder_stop "
                 "\\(decoder id 9\\), 0 calls done");
}

}  // namespace
