// Many instances and many host threads at once: 256 instances decode side by side, and host
// threads race starts, commits, bindings, registrations and stops across ids while streams
// decode. ThreadSanitizer watches for races; the test itself for lost, crossed or stuck work.
#include "AnnexB.h"
#include "HostSupport.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace decodertest;
using namespace hosttest;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;

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

enum class Operation { Start, Stop, Commit, Register, Unregister, Bind, Unbind, Count };

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

}  // namespace
