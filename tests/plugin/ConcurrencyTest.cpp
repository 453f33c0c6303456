// Many instances and many host threads at once: 256 instances decode side by side, host threads
// race starts, commits, bindings, registrations and stops across ids while streams decode, the
// host's threads never wait for a stop, a decode or an upload, calls from inside the host
// callback neither crash nor hang, and idle instances sleep. ThreadSanitizer watches for races;
// the tests themselves, and a watchdog, for lost, crossed or stuck work.
#include "AnnexB.h"
#include "GraphicsDevice.h"
#include "HostSupport.h"
#include "Pictures.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>

using namespace decodertest;
using namespace hosttest;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;

const FixtureClip& clip320() {
    return testsupport::fixtureClip("h264_cbp_320x240");
}

TEST(ManyInstances, AllIdsDecodeAtOnceEachIntoItsOwnTexture) {
    const FixtureClip& clip = testsupport::fixtureClip("h264_tiny_16x16");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    std::vector<std::shared_ptr<PictureTap>> taps;
    for (int id = 0; id < 256; ++id) {
        TextureInfoLog::forget(uint8_t(id));
        ASSERT_TRUE(start(uint8_t(id), "{\"videoDelayTimeInMs\":" + std::to_string(id) + "}"));
        ASSERT_TRUE(H264Decoder_registerCallback(uint8_t(id), TextureInfoLog::first()));
        taps.push_back(PictureTap::install(uint8_t(id)));
    }
    for (int id = 0; id < 256; ++id) {
        ASSERT_TRUE(commit(uint8_t(id), units[0]));
    }
    for (int id = 0; id < 256; ++id) {
        ASSERT_TRUE(TextureInfoLog::waitForCalls(uint8_t(id), 1)) << id;
        const std::vector<TextureInfoLog::Call> calls = TextureInfoLog::callsFor(uint8_t(id));
        ASSERT_EQ(calls.size(), 1u) << id;
        EXPECT_EQ(calls[0].idValue, id);
        EXPECT_EQ(calls[0].text, textureInfoText(16, 16));
        ASSERT_TRUE(taps[id]->waitForPictures(1)) << id;
        ASSERT_TRUE(bind(uint8_t(id), kTexture, textureDescription(16, 16)));
    }
    for (size_t i = 1; i < units.size(); ++i) {
        for (int id = 0; id < 256; ++id) {
            ASSERT_TRUE(commit(uint8_t(id), units[i]));
        }
        for (int id = 0; id < 256; ++id) {
            ASSERT_TRUE(taps[id]->waitForPictures(i + 1)) << id;
            const std::optional<TextureSnapshot> texture = snapshotTexture(uint8_t(id));
            ASSERT_TRUE(texture.has_value());
            const testsupport::BgraPicture picture{16, 16, texture->frameBuffer};
            ASSERT_EQ(testsupport::md5Hex(picture), md5s[i]) << "id " << id << " picture " << i;
        }
    }
    for (int id = 0; id < 256; ++id) {
        H264Decoder_stop(uint8_t(id));
        EXPECT_FALSE(H264Decoder_unregisterCallback(uint8_t(id)));
    }
}

enum class Operation { Start, Stop, Commit, Register, Unregister, Bind, Unbind, Poll, Count };

// A poll that succeeds hands out one whole, well-formed text.
void pollStatistics(uint8_t id) {
    H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
    if (H264Decoder_getStatistics(id, text, H264_DECODER_STATISTICS_CAPACITY)) {
        EXPECT_GT(Statistics(utf8(text)).count("committed") + 1, 0u);
    }
}

// One host thread: a fixed pseudo-random sequence of operations on ids 0 to 15.
void hostThread(unsigned seed, const std::vector<AccessUnit>& units, int operations) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> anyId(0, 15);
    std::uniform_int_distribution<int> anyOperation(0, int(Operation::Count) - 1);
    size_t nextUnit = 0;
    for (int i = 0; i < operations; ++i) {
        const uint8_t id = uint8_t(anyId(random));
        switch (Operation(anyOperation(random))) {
            case Operation::Start:
                start(id, "{}");
                break;
            case Operation::Stop:
                H264Decoder_stop(id);
                break;
            case Operation::Commit:
                commit(id, units[nextUnit++ % units.size()]);
                break;
            case Operation::Register:
                H264Decoder_registerCallback(id, TextureInfoLog::second());
                break;
            case Operation::Unregister:
                H264Decoder_unregisterCallback(id);
                break;
            case Operation::Bind:
                bind(id, kTexture, textureDescription(320, 240));
                break;
            case Operation::Unbind:
                bind(id, nullptr, "{}");
                break;
            case Operation::Poll:
                pollStatistics(id);
                break;
            case Operation::Count:
                break;
        }
    }
}

TEST(HostThreads, RaceEveryFunctionAcrossIdsWhileStreamsDecode) {
    // Parameter sets in every access unit: each instance that a racing thread starts sets up its
    // session, and so calls its callback, with the first unit it gets.
    const std::vector<AccessUnit> units =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_repeat_headers_320x240"));
    // Streams that decode for the whole race on ids the racing threads leave alone.
    for (uint8_t id : {uint8_t(100), uint8_t(101)}) {
        ASSERT_TRUE(start(id, "{}"));
        ASSERT_TRUE(bind(id, kTexture, textureDescription(320, 240)));
    }
    // The host's render thread renders throughout.
    s_CurrentAPI.reset(new NullBackend);
    std::atomic<bool> racing{true};
    std::thread renderThread([&] {
        while (racing) {
            H264Decoder_nativeRenderEventFunc()(0);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> hosts;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        hosts.emplace_back(hostThread, seed, std::cref(units), 1500);
    }
    hosts.emplace_back([&] {
        for (int round = 0; round < 4; ++round) {
            for (const AccessUnit& unit : units) {
                commit(100, unit);
                commit(101, unit);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    for (std::thread& host : hosts) {
        host.join();
    }
    racing = false;
    renderThread.join();
    s_CurrentAPI.reset();

    // Whatever state the race left, each id is either running or free, and consistently so.
    for (int id = 0; id < 16; ++id) {
        const bool running = H264Decoder_commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0);
        EXPECT_EQ(start(uint8_t(id), "{}"), !running) << id;
        H264Decoder_stop(uint8_t(id));
        EXPECT_FALSE(H264Decoder_commitFrame(uint8_t(id), nullptr, 0, 0, 0, 0));
    }
    for (uint8_t id : {uint8_t(100), uint8_t(101)}) {
        const std::optional<TextureSnapshot> texture = snapshotTexture(id);
        ASSERT_TRUE(texture.has_value());
        EXPECT_TRUE(texture->bound);
        H264Decoder_stop(id);
    }

    // And afterwards an id plays a stream from the start as if nothing had happened.
    TextureInfoLog::forget(3);
    ASSERT_TRUE(start(3, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(3, TextureInfoLog::first()));
    ASSERT_TRUE(commit(3, units[0]));
    EXPECT_TRUE(TextureInfoLog::waitForCalls(3, 1));
    EXPECT_EQ(TextureInfoLog::callsFor(3)[0].text, textureInfoText(320, 240));
    H264Decoder_stop(3);
}

// Holds whoever waits on it until release(): a host callback inside a unit, or an upload.
class Latch {
  public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }
    void waitUntilSomeoneWaits() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return waiting_; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool waiting_ = false;
    bool released_ = false;
};

Latch* s_callbackLatch = nullptr;

void waitsOnTheLatch(const uint8_t*, const H264DecoderChar16*) {
    s_callbackLatch->wait();
}

// A backend whose uploads wait on a latch; it counts the uploads it finished.
class LatchedBackend : public hosttest::NullBackend {
  public:
    explicit LatchedBackend(Latch& latch) : latch_(latch) {}
    void EndModifyTexture2(void*, int, int, int, void*) override {
        latch_.wait();
        ++uploads;
    }

    std::atomic<int> uploads{0};

  private:
    Latch& latch_;
};

// The calls a host thread makes on other ids while something else is held up: if any of them
// waited for what is held, the watchdog would end the run naming it.
void otherIdsGoOn(reliability::WatchedLane& lane, const AccessUnit& unit) {
    const struct {
        const char* name;
        std::function<bool()> call;
    } calls[] = {
        {"H264Decoder_commitFrame", [&] { return commit(21, unit); }},
        {"H264Decoder_setNativeTexturePointer",
         [] { return bind(21, kTexture, textureDescription(320, 240)); }},
        {"H264Decoder_registerCallback",
         [] { return H264Decoder_registerCallback(21, TextureInfoLog::first()); }},
        {"H264Decoder_unregisterCallback", [] { return H264Decoder_unregisterCallback(21); }},
        {"H264Decoder_getStatistics",
         [] {
             H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
             return H264Decoder_getStatistics(21, text, H264_DECODER_STATISTICS_CAPACITY);
         }},
        {"H264Decoder_start", [] { return start(22, "{}"); }},
        {"H264Decoder_stop",
         [] {
             H264Decoder_stop(22);
             return true;
         }},
    };
    for (const auto& call : calls) {
        lane.enter(call.name, 21);
        EXPECT_TRUE(call.call()) << call.name;
        lane.leave();
    }
}

// A stop waits for its instance's unit in progress, here held inside the host callback; the
// render event, and calls on other ids, go on meanwhile. Built on hooks: whatever waited for the
// held stop would never return, and the watchdog would say which call it was.
TEST(HostThreads, NothingWaitsForAStopThatWaitsForItsDecode) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip320());
    reliability::Watchdog watchdog(std::chrono::seconds(20));
    reliability::WatchedLane& host = watchdog.addLane("host thread");
    watchdog.start();
    Latch latch;
    s_callbackLatch = &latch;
    ASSERT_TRUE(start(20, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(20, &waitsOnTheLatch));
    ASSERT_TRUE(start(21, "{}"));
    ASSERT_TRUE(bind(21, kTexture, textureDescription(320, 240)));
    ASSERT_TRUE(commit(20, units[0]));
    latch.waitUntilSomeoneWaits();  // instance 20's decode thread is inside the callback

    std::thread stopper([] { H264Decoder_stop(20); });
    while (H264Decoder_commitFrame(20, nullptr, 0, 0, 0, 0)) {
        std::this_thread::yield();  // until the stop has taken the id out of the registry
    }
    host.enter("render event", -1);
    H264Decoder_nativeRenderEventFunc()(0);
    host.leave();
    otherIdsGoOn(host, units[0]);
    EXPECT_TRUE(start(20, "{}")) << "the id is free while its old instance ends";
    H264Decoder_stop(20);

    latch.release();
    stopper.join();
    host.finish();
    H264Decoder_stop(21);
}

// The render event's upload is held inside the backend; calls on every id go on meanwhile.
TEST(HostThreads, NothingWaitsForARenderEventThatUploads) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip320());
    reliability::Watchdog watchdog(std::chrono::seconds(20));
    reliability::WatchedLane& host = watchdog.addLane("host thread");
    watchdog.start();
    Latch latch;
    auto* backend = new LatchedBackend(latch);
    s_CurrentAPI.reset(backend);
    ASSERT_TRUE(start(21, "{}"));
    ASSERT_TRUE(bind(21, kTexture, textureDescription(320, 240)));
    std::thread renderThread([] { H264Decoder_nativeRenderEventFunc()(0); });
    latch.waitUntilSomeoneWaits();

    otherIdsGoOn(host, units[0]);
    host.enter("H264Decoder_stop", 21);
    H264Decoder_stop(21);  // the upload keeps what it uploads from
    host.leave();

    latch.release();
    renderThread.join();
    EXPECT_EQ(backend->uploads.load(), 1);
    host.finish();
    s_CurrentAPI.reset();
}

// What a host may do from inside its callback, on the decode thread (the size report) and on the
// platform's output thread (the padded-width report of a picture whose rows are padded): every
// call returns, and a stop of the callback's own instance completes once the callback returns.
TEST(HostCallback, CallsIntoThePluginFromTheCallbackNeitherCrashNorHang) {
    struct Call {
        const char* name;
        std::function<void(uint8_t id, const AccessUnit& unit)> make;
        bool stopsTheInstance;
    };
    static int otherTexture = 0;
    const Call calls[] = {
        {"stop", [](uint8_t id, const AccessUnit&) { H264Decoder_stop(id); }, true},
        {"commit", [](uint8_t id, const AccessUnit& unit) { commit(id, unit); }, false},
        {"register",
         [](uint8_t id, const AccessUnit&) {
             H264Decoder_registerCallback(id, TextureInfoLog::second());
         },
         false},
        {"unregister", [](uint8_t id, const AccessUnit&) { H264Decoder_unregisterCallback(id); },
         false},
        {"bind",
         [](uint8_t id, const AccessUnit&) {
             bind(id, &otherTexture, textureDescription(1088, 1920));
         },
         false},
        {"stop another id", [](uint8_t, const AccessUnit&) { H264Decoder_stop(31); }, false},
        {"start another id", [](uint8_t, const AccessUnit&) { start(32, "{}"); }, false},
    };
    static std::function<void(uint8_t)> s_inCallback;
    static std::atomic<int> s_callbacks{0};
    const std::vector<AccessUnit> units =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_portrait_1080x1920"));
    reliability::Watchdog watchdog(std::chrono::seconds(30));
    reliability::WatchedLane& host = watchdog.addLane("host thread");
    watchdog.start();
    for (const Call& call : calls) {
        for (int report : {1, 2}) {  // 1: size, on the decode thread; 2: padded width, on output
            SCOPED_TRACE(std::string(call.name) +
                         (report == 1 ? " on the decode thread" : " on the output thread"));
            constexpr uint8_t kId = 30;
            s_callbacks = 0;
            s_inCallback = [&call, &units, report](uint8_t id) {
                if (s_callbacks + 1 == report) {
                    call.make(id, units[1]);
                }
                ++s_callbacks;  // counted once the call has returned
            };
            ASSERT_TRUE(start(kId, "{}"));
            ASSERT_TRUE(start(31, "{}"));
            ASSERT_TRUE(H264Decoder_registerCallback(
                kId, [](const uint8_t* id, const H264DecoderChar16*) { s_inCallback(*id); }));
            host.enter(call.name, kId);
            ASSERT_TRUE(commit(kId, units[0]));
            while (s_callbacks < report) {
                std::this_thread::yield();
            }
            if (call.stopsTheInstance) {
                EXPECT_FALSE(H264Decoder_commitFrame(kId, nullptr, 0, 0, 0, 0));
                H264Decoder::waitForHandedOffStops();
            } else {
                EXPECT_TRUE(commit(kId, units[1])) << "the instance goes on";
            }
            H264Decoder_stop(kId);
            H264Decoder_stop(31);
            H264Decoder_stop(32);
            host.leave();
        }
    }
    host.finish();
}

// The ids of this process's threads.
std::set<std::string> threadIds() {
    std::set<std::string> ids;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                ids.insert(entry->d_name);
            }
        }
        closedir(tasks);
    }
    return ids;
}

// Context switches of the given threads so far, as the scheduler counts them.
uint64_t contextSwitches(const std::set<std::string>& threads) {
    uint64_t switches = 0;
    for (const std::string& id : threads) {
        std::ifstream status("/proc/self/task/" + id + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                switches += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    return switches;
}

// 256 instances with nothing to decode sleep: their threads are not woken at all.
TEST(IdleInstances, MakeNoWakeUps) {
    constexpr uint64_t kAllowedSwitches = 16;
    const std::set<std::string> before = threadIds();
    for (int id = 0; id < 256; ++id) {
        ASSERT_TRUE(start(uint8_t(id), "{}"));
    }
    std::set<std::string> instanceThreads;
    for (const std::string& id : threadIds()) {
        if (before.count(id) == 0) {
            instanceThreads.insert(id);
        }
    }
    EXPECT_GE(instanceThreads.size(), 256u) << "one decode thread per instance";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // each is asleep by now
    const uint64_t atRest = contextSwitches(instanceThreads);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(contextSwitches(instanceThreads) - atRest, kAllowedSwitches);
    for (int id = 0; id < 256; ++id) {
        H264Decoder_stop(uint8_t(id));
    }
}

}  // namespace
