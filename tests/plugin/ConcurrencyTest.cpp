// Many instances and many host threads at once. ThreadSanitizer watches for races; the tests
// themselves, and a watchdog, for lost or stuck work.
#include "HostSupport.h"
#include "Watchdog.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

using namespace hosttest;

namespace {

// Context switches of each thread of this process so far, as the scheduler counts them.
std::map<std::string, uint64_t> contextSwitchesByThread() {
    std::map<std::string, uint64_t> switches;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        uint64_t& count = switches[task.path().filename()];
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) {
                count += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    return switches;
}

// Instances with nothing to decode sleep: their threads are not woken at all. (Instances that
// decode side by side, each hearing its own id, are reliability Lifetime's.)
TEST(AllIds, InstancesWithNothingToDecodeSleep) {
    const std::map<std::string, uint64_t> before = contextSwitchesByThread();
    for (int id = 0; id < 256; ++id) {
        ASSERT_TRUE(start(uint8_t(id), "{\"videoDelayTimeInMs\":" + std::to_string(id) + "}"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // each is asleep by now
    const std::map<std::string, uint64_t> atRest = contextSwitchesByThread();
    EXPECT_GE(atRest.size(), before.size() + 256) << "one decode thread per instance";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t wakeUps = 0;
    for (const auto& [thread, switches] : contextSwitchesByThread()) {
        const bool instances = atRest.count(thread) && !before.count(thread);
        wakeUps += instances ? switches - atRest.at(thread) : 0;
    }
    EXPECT_LE(wakeUps, 16u) << "idle instances woke up";
    for (int id = 0; id < 256; ++id) {
        H264Decoder_stop(uint8_t(id));
    }
}

// The calls a host makes on an id.
const struct HostCall {
    const char* name;
    void (*make)(uint8_t id, const AccessUnit& unit);
} kHostCalls[] = {
    {"start", [](uint8_t id, const AccessUnit&) { start(id, "{}"); }},
    {"commit", [](uint8_t id, const AccessUnit& unit) { commit(id, unit); }},
    {"register",
     [](uint8_t id, const AccessUnit&) {
         H264Decoder_registerCallback(id, TextureInfoLog::second());
     }},
    {"unregister", [](uint8_t id, const AccessUnit&) { H264Decoder_unregisterCallback(id); }},
    {"bind",
     [](uint8_t id, const AccessUnit&) { bind(id, kTexture, textureDescription(320, 240)); }},
    {"unbind", [](uint8_t id, const AccessUnit&) { bind(id, nullptr, "{}"); }},
    {"poll statistics",
     [](uint8_t id, const AccessUnit&) {
         H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
         H264Decoder_getStatistics(id, text, H264_DECODER_STATISTICS_CAPACITY);
     }},
    {"stop", [](uint8_t id, const AccessUnit&) { H264Decoder_stop(id); }},
};

// A host thread whose every call is watched: whatever waited for what is held up would never
// return, and the watchdog would end the run naming the call.
struct WatchedHost : reliability::Watchdog {
    WatchedHost() : Watchdog(std::chrono::seconds(20)) { start(); }
    template <typename Call>
    void operator()(const char* name, int id, Call call) {
        lane.enter(name, id);
        call();
        lane.leave();
    }
    reliability::WatchedLane& lane = addLane("host thread");
};

Hold s_callbackHold;

// Instance 20's stop waits for its unit in progress, held inside the host callback, while the
// render event's upload of instance 21 is held inside the backend. Every call on every id goes
// on meanwhile: instance 20's id is free at once, and instance 21 stops while it is uploaded.
TEST(HostThreads, NothingWaitsForAStopThatWaitsForItsDecodeOrForAnUpload) {
    const std::vector<AccessUnit> units = unitsOf("h264_cbp_320x240");
    WatchedHost host;
    Hold uploadHold;
    auto* backend = new RecordingBackend;
    backend->duringUpload = std::ref(uploadHold);
    s_CurrentAPI.reset(backend);
    ASSERT_TRUE(start(20, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(
        20, [](const uint8_t*, const H264DecoderChar16*) { s_callbackHold(); }));
    ASSERT_TRUE(start(21, "{}"));
    ASSERT_TRUE(bind(21, kTexture, textureDescription(320, 240)));
    ASSERT_TRUE(commit(20, units[0]));
    s_callbackHold.entered().wait();  // instance 20's decode thread is in the callback
    std::thread stopper([] { H264Decoder_stop(20); });
    while (running(20)) {
        std::this_thread::yield();  // until the stop has taken the id out of the registry
    }
    std::thread renderThread([] { H264Decoder_nativeRenderEventFunc()(0); });
    uploadHold.entered().wait();

    host("start", 20, [] { EXPECT_TRUE(start(20, "{}")) << "the id is free while it ends"; });
    for (uint8_t id : {uint8_t(21), uint8_t(22), uint8_t(20)}) {  // each stopped at the end
        for (const HostCall& call : kHostCalls) {
            host(call.name, id, [&] { call.make(id, units[0]); });
        }
    }
    s_callbackHold.released.set_value();
    uploadHold.released.set_value();
    stopper.join();
    renderThread.join();
    EXPECT_EQ(backend->takeUploads().size(), 1u);
    s_CurrentAPI.reset();
}

// What a host may do from inside its callback, on the decode thread (the size report) and on the
// platform's output thread (the padded-width report of a picture whose rows are padded), on its
// own id and on another: every call returns, and a stop of the callback's own instance completes
// once the callback returns.
TEST(HostCallback, CallsIntoThePluginFromTheCallbackNeitherCrashNorHang) {
    constexpr uint8_t kId = 30, kOther = 31;
    static std::function<void(uint8_t)> s_inCallback;
    static std::atomic<int> s_callbacks{0};
    const std::vector<AccessUnit> units = unitsOf("h264_portrait_1080x1920");
    WatchedHost host;
    for (const HostCall& call : kHostCalls) {
        for (const uint8_t target : {kId, kOther}) {
            for (int report : {1, 2}) {  // 1: size, on the decode thread; 2: padded width
                SCOPED_TRACE(testing::Message()
                             << call.name << " on " << int(target) << " in report " << report);
                s_callbacks = 0;
                s_inCallback = [&call, &units, report, target](uint8_t) {
                    if (s_callbacks + 1 == report) {
                        call.make(target, units[1]);
                    }
                    ++s_callbacks;  // counted once the call has returned
                };
                ASSERT_TRUE(start(kId, "{}"));
                ASSERT_TRUE(std::string(call.name) == "start" || start(kOther, "{}"));
                ASSERT_TRUE(H264Decoder_registerCallback(
                    kId, [](const uint8_t* id, const H264DecoderChar16*) { s_inCallback(*id); }));
                const bool stopsItself = target == kId && std::string(call.name) == "stop";
                host(call.name, target, [&] {
                    ASSERT_TRUE(commit(kId, units[0]));
                    while (s_callbacks < report) {
                        std::this_thread::yield();
                    }
                    EXPECT_NE(running(kId), stopsItself);
                    if (stopsItself) {
                        H264Decoder::waitForHandedOffStops();
                    }
                    H264Decoder_stop(kId);
                    H264Decoder_stop(kOther);
                });
            }
        }
    }
}

}  // namespace
