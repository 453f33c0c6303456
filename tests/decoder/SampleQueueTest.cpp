// The sample queue between the host's commits and the decode thread, on real streams: every
// committed access unit reaches the decode session once and in order, a commit that meets the
// consumer's lock waits for it, a backlog past its limits is cut back to a random-access point,
// a lost unit shows no picture before the next one, and a stop discards what is still queued.
#include "AnnexB.h"
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderInspector.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <thread>

using namespace decodertest;
using testsupport::AccessUnit;

namespace {

const testsupport::FixtureClip& clip() {
    return testsupport::fixtureClip("h264_cbp_320x240");
}

void commit(H264Decoder& decoder, const AccessUnit& unit, uint32_t pts = 0) {
    decoder.decodeFrame(unit.data(), 0, 0, uint32_t(unit.size()), pts);
}

std::vector<std::string> md5sOf(const std::vector<PictureTap::Picture>& pictures) {
    std::vector<std::string> md5s;
    for (const PictureTap::Picture& picture : pictures) {
        md5s.push_back(picture.md5);
    }
    return md5s;
}

// The decode thread holds the first picture in the tap while the whole clip is committed, so
// the queue is never contended and nothing may be dropped.
TEST(SampleQueue, EveryAccessUnitReachesTheSessionOnceInCommitOrder) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    H264Decoder decoder(45, "{}");
    const auto tap = PictureTap::install(45);
    tap->hold();
    commit(decoder, units[0]);
    ASSERT_TRUE(tap->waitUntilHolding());
    for (size_t i = 1; i < units.size(); ++i) {
        commit(decoder, units[i], uint32_t(i));
    }
    EXPECT_EQ(H264DecoderInspector::queuedSamples(decoder), units.size() - 1);
    tap->release();

    ASSERT_TRUE(tap->waitForPictures(units.size()));
    EXPECT_EQ(md5sOf(tap->pictures()), testsupport::readFrameMd5s(clip()));
}

// Commits at an offset into a larger buffer, with any reserved value, copy exactly the unit.
TEST(SampleQueue, OffsetSelectsTheBytesAndReservedIsIgnored) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    H264Decoder decoder(46, "{}");
    const auto tap = PictureTap::install(46);
    for (size_t i = 0; i < 5; ++i) {
        std::vector<uint8_t> buffer(7 + units[i].size() + 9, 0xAB);
        std::copy(units[i].begin(), units[i].end(), buffer.begin() + 7);
        decoder.decodeFrame(buffer.data(), uint32_t(0xFFFFFFFF - i), 7, uint32_t(units[i].size()),
                            uint32_t(0xFFFFFFFF));
        ASSERT_TRUE(tap->waitForPictures(i + 1));
    }
    const std::vector<std::string> expected = testsupport::readFrameMd5s(clip());
    EXPECT_EQ(md5sOf(tap->pictures()),
              std::vector<std::string>(expected.begin(), expected.begin() + 5));
}

// Holds the queue lock on another thread, as the decode thread does while it takes a sample.
class QueueLockHolder {
  public:
    explicit QueueLockHolder(std::mutex& queueMutex)
        : thread_([this, &queueMutex] {
              std::lock_guard<std::mutex> queueLock(queueMutex);
              std::unique_lock<std::mutex> lock(mutex_);
              locked_ = true;
              changed_.notify_all();
              changed_.wait(lock, [this] { return released_; });
          }) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return locked_; });
    }
    ~QueueLockHolder() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool locked_ = false;
    bool released_ = false;
    std::thread thread_;
};

TEST(SampleQueue, ACommitThatMeetsAHeldQueueLockWaitsForItAndIsQueued) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    H264Decoder decoder(47, "{}");
    const auto tap = PictureTap::install(47);
    tap->hold();
    commit(decoder, units[0]);
    ASSERT_TRUE(tap->waitUntilHolding());
    std::future<void> committed;
    {
        QueueLockHolder holder(H264DecoderInspector::queueMutex(decoder));
        committed = std::async(std::launch::async, [&] { commit(decoder, units[1]); });
        EXPECT_EQ(committed.wait_for(50ms), std::future_status::timeout)
            << "the commit went past a held queue lock";
    }
    committed.get();
    EXPECT_EQ(H264DecoderInspector::queuedSamples(decoder), 1u);
    tap->release();
    ASSERT_TRUE(tap->waitForPictures(2));
    const std::vector<std::string> expected = testsupport::readFrameMd5s(clip());
    EXPECT_EQ(md5sOf(tap->pictures()),
              std::vector<std::string>(expected.begin(), expected.begin() + 2));
}

TEST(SampleQueue, EmptyAndRefusedCommits) {
    H264Decoder decoder(48, "{}");
    const auto tap = PictureTap::install(48);
    tap->hold();
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    commit(decoder, units[0]);
    ASSERT_TRUE(tap->waitUntilHolding());

    const uint8_t byte = 0;
    decoder.decodeFrame(nullptr, 0, 0, 0, 0);
    decoder.decodeFrame(&byte, 0, 0, 0, 0);
    EXPECT_EQ(H264DecoderInspector::queuedSamples(decoder), 2u) << "empty samples are queued";
    decoder.decodeFrame(nullptr, 0, 0, 16, 0);
    decoder.decodeFrame(&byte, 0, 0, 0x80000000u, 0);
    decoder.decodeFrame(&byte, 0, 0, 0xFFFFFFFFu, 0);
    EXPECT_EQ(H264DecoderInspector::queuedSamples(decoder), 2u) << "unreadable sizes are dropped";
    tap->release();
}

// Keeps a stream committed as fast as the host can under the backlog's limits.
void waitForQueueBelow(H264Decoder& decoder, size_t units) {
    while (H264DecoderInspector::queuedSamples(decoder) >= units) {
        std::this_thread::sleep_for(1ms);
    }
}

const char* const kLiveClips[] = {"h264_gop60_1280x720", "h265_gop60_1280x720"};

std::string configFor(const testsupport::FixtureClip& liveClip) {
    return liveClip.codec == testsupport::Codec::H265 ? "{\"isH265\":true}" : "{}";
}

std::vector<std::string> md5sAt(const std::vector<std::string>& md5s,
                                const std::vector<size_t>& indices) {
    std::vector<std::string> selected;
    for (size_t index : indices) {
        selected.push_back(md5s.at(index));
    }
    return selected;
}

std::vector<size_t> range(size_t first, size_t end) {
    std::vector<size_t> indices;
    for (size_t i = first; i < end; ++i) {
        indices.push_back(i);
    }
    return indices;
}

std::vector<size_t> concatenated(std::vector<size_t> first, const std::vector<size_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Commits race the decode thread's dequeue on every unit; none may be lost, so every picture of
// a stream with a single keyframe is the reference's, every time.
TEST(SampleQueue, BackToBackCommitsLoseNoUnitToTheDecodeThread) {
    constexpr size_t kUnits = 20;
    constexpr int kRepetitions = 20;
    for (const char* name : kLiveClips) {
        SCOPED_TRACE(name);
        const testsupport::FixtureClip& liveClip = testsupport::fixtureClip(name);
        const std::vector<AccessUnit> units = testsupport::readAccessUnits(liveClip);
        const std::vector<std::string> expected =
            md5sAt(testsupport::readFrameMd5s(liveClip), range(0, kUnits));
        for (int repetition = 0; repetition < kRepetitions; ++repetition) {
            H264Decoder decoder(50, configFor(liveClip));
            const auto tap = PictureTap::install(50);
            for (size_t i = 0; i < kUnits; ++i) {
                commit(decoder, units[i], uint32_t(i));
            }
            ASSERT_TRUE(tap->waitForPictures(kUnits)) << "repetition " << repetition;
            ASSERT_EQ(md5sOf(tap->pictures()), expected) << "repetition " << repetition;
        }
    }
}

// Units lost before they reach the decoder, by the stream or by the backlog's limits: no picture
// is delivered from the loss to the next keyframe (unit 60), and every picture delivered is the
// reference's own. The decode thread is held in unit 0 while the rest is committed. The host
// reads how many units were lost and why, and is asked for a keyframe where none is on its way.
TEST(SampleQueue, AfterALossOnlyTheNextKeyframeAndWhatFollowsAreShown) {
    struct Case {
        const char* rule;
        std::vector<size_t> committed;  // after unit 0
        bool holdFirst;
        std::vector<size_t> delivered;
        uint64_t queueFull;
        uint64_t lostToTheWait;  // waitingForKeyframe, and decodeError where the decoder finds it
        uint64_t keyframeRequests;
    };
    const std::vector<size_t> fromKeyframe = range(60, 90);
    const Case cases[] = {
        {"a P unit the stream lost", concatenated(range(1, 10), range(11, 90)), false,
         concatenated(range(0, 10), fromKeyframe), 0, 49, 1},
        {"a full queue is cut back to its newest keyframe", range(1, 90), true,
         concatenated({0}, fromKeyframe), 59, 0, 0},
        {"a full queue without keyframe is emptied and waits for the next",
         concatenated(range(1, 60), range(1, 90)), true, concatenated({0}, fromKeyframe), 65, 53,
         1},
    };
    ASSERT_EQ(range(1, 60).size() + 5, size_t(H264_DECODER_MAX_QUEUED_UNITS))
        << "the emptied queue case fills the queue with exactly its limit";
    for (const char* name : kLiveClips) {
        const testsupport::FixtureClip& liveClip = testsupport::fixtureClip(name);
        const std::vector<AccessUnit> units = testsupport::readAccessUnits(liveClip);
        const std::vector<std::string> md5s = testsupport::readFrameMd5s(liveClip);
        for (const Case& test : cases) {
            SCOPED_TRACE(std::string(name) + ": " + test.rule);
            H264Decoder decoder(51, configFor(liveClip));
            const auto tap = PictureTap::install(51);
            if (test.holdFirst) {
                tap->hold();
            }
            commit(decoder, units[0]);
            if (test.holdFirst) {
                ASSERT_TRUE(tap->waitUntilHolding());
            }
            for (size_t index : test.committed) {
                if (!test.holdFirst) {
                    waitForQueueBelow(decoder, H264_DECODER_MAX_QUEUED_UNITS / 2);
                }
                if (index == 60 && !test.holdFirst) {
                    // Half a queue behind: the loss was found, and the wait is on.
                    EXPECT_TRUE(Statistics(decoder.statisticsJson()).flag("keyframeNeeded"));
                }
                commit(decoder, units[index], uint32_t(index));
            }
            tap->release();
            // A picture too many would come before the last one and show in the comparison.
            ASSERT_TRUE(tap->waitForPictures(test.delivered.size()));
            EXPECT_EQ(md5sOf(tap->pictures()), md5sAt(md5s, test.delivered));
            const Statistics figures(decoder.statisticsJson());
            EXPECT_EQ(figures.count("committed"), test.committed.size() + 1);
            EXPECT_EQ(figures.unitsAccountedFor(), test.committed.size() + 1);
            EXPECT_EQ(figures.count("decoded"), test.delivered.size());
            EXPECT_EQ(figures.dropped("queueFull"), test.queueFull);
            EXPECT_EQ(figures.dropped("waitingForKeyframe") + figures.dropped("decodeError"),
                      test.lostToTheWait);
            EXPECT_EQ(figures.count("keyframeRequests"), test.keyframeRequests);
            EXPECT_FALSE(figures.flag("keyframeNeeded"));
        }
    }
}

// The decode thread is held inside the first sample while 29 more wait in the queue; the
// teardown returns only once that sample is done, and the queued ones never reach the session
// (LeakSanitizer checks that they are freed).
TEST(SampleQueue, TeardownFinishesTheCurrentSampleAndDiscardsTheQueue) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    auto decoder = std::make_unique<H264Decoder>(49, "{}");
    const auto tap = PictureTap::install(49);
    tap->hold();
    for (const AccessUnit& unit : units) {
        commit(*decoder, unit);
    }
    ASSERT_TRUE(tap->waitUntilHolding());
    EXPECT_EQ(H264DecoderInspector::queuedSamples(*decoder), units.size() - 1);

    auto teardown = std::async(std::launch::async, [&] { decoder.reset(); });
    EXPECT_EQ(teardown.wait_for(50ms), std::future_status::timeout)
        << "teardown returned while the decode thread was still inside its sample";
    tap->release();
    teardown.get();
    EXPECT_EQ(tap->pictureCount(), 1u);
}

}  // namespace
