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

#include <future>
#include <thread>

using namespace decodertest;
using testsupport::AccessUnit;

namespace {

const testsupport::FixtureClip& clip() {
    return testsupport::fixtureClip("h264_cbp_320x240");
}

// Each unit lies at an offset into a larger buffer, behind a reserved value of any kind: exactly
// the unit's bytes are queued.
void commit(H264Decoder& decoder, const AccessUnit& unit, uint32_t pts = 0) {
    std::vector<uint8_t> buffer = unit;
    buffer.insert(buffer.begin(), 7, 0xAB);
    buffer.resize(buffer.size() + 9, 0xAB);
    decoder.decodeFrame(buffer.data(), 0xFFFFFFFF - pts, 7, uint32_t(unit.size()), pts);
}

// The reference's pictures at the given half-open index spans, in order.
std::vector<size_t> spans(std::initializer_list<std::pair<size_t, size_t>> ranges) {
    std::vector<size_t> indices;
    for (const auto& [first, end] : ranges) {
        for (size_t i = first; i < end; ++i) {
            indices.push_back(i);
        }
    }
    return indices;
}

// The tap saw exactly the reference's pictures at `indices`, in order.
void expectPictures(const PictureTap& tap, const testsupport::FixtureClip& clip,
                    const std::vector<size_t>& indices) {
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    const std::vector<PictureTap::Picture> pictures = tap.pictures();
    ASSERT_EQ(pictures.size(), indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
        EXPECT_EQ(pictures[i].md5, md5s.at(indices[i])) << "picture " << i;
    }
}

// An instance that was committed its first unit; held, its decode thread waits inside that
// unit's picture until the tap is released.
struct HeldInstance {
    HeldInstance(uint8_t id, const AccessUnit& first, bool hold = true,
                 const std::string& config = "{}")
        : decoder(std::make_unique<H264Decoder>(id, config)), tap(PictureTap::install(id)) {
        tap->setHolding(hold);
        commit(*decoder, first);
        EXPECT_TRUE(!hold || tap->waitUntilHolding());
    }
    std::unique_ptr<H264Decoder> decoder;
    std::shared_ptr<PictureTap> tap;
};

TEST(SampleQueue, ACommitThatMeetsAHeldQueueLockWaitsForItAndIsQueued) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    HeldInstance held(47, units[0]);
    std::future<void> committed;
    {
        std::lock_guard<std::mutex> queueLock(H264DecoderInspector::queueMutex(*held.decoder));
        committed = std::async(std::launch::async, [&] { commit(*held.decoder, units[1]); });
        EXPECT_EQ(committed.wait_for(50ms), std::future_status::timeout)
            << "the commit went past a held queue lock";
    }
    committed.get();
    EXPECT_EQ(H264DecoderInspector::queuedSamples(*held.decoder), 1u);
    held.tap->setHolding(false);
    ASSERT_TRUE(held.tap->waitForPictures(2));
    expectPictures(*held.tap, clip(), {0, 1});
}

// Units lost before they reach the decoder, by the stream or by the backlog's limits: no picture
// is delivered from the loss to the next keyframe (unit 60), and every picture delivered is the
// reference's own. Where the decode thread is held in unit 0, the rest piles up in the queue.
// The host reads how many units were lost and why, and is asked for a keyframe where none is on
// its way. Without a loss nothing is lost: not while the decode thread is held, nor when commits
// race its dequeue on every unit. One clip a test, each a live stream with a keyframe every 60
// units: under ThreadSanitizer both together take most of a test's time limit.
class LiveStream : public testing::TestWithParam<const char*> {};

TEST_P(LiveStream, EveryUnitIsShownButThoseFromALossToTheNextKeyframe) {
    struct Case {
        const char* rule;
        std::vector<size_t> committed;  // after unit 0
        bool holdFirst;
        std::vector<size_t> delivered;
        uint64_t queueFull;
        uint64_t lostToTheWait;  // waitingForKeyframe, and decodeError where the decoder finds it
        uint64_t keyframeRequests;
        int repetitions = 1;
    };
    const Case cases[] = {
        {"back-to-back commits", spans({{1, 20}}), false, spans({{0, 20}}), 0, 0, 0, 20},
        {"commits queued behind a held unit", spans({{1, 50}}), true, spans({{0, 50}}), 0, 0, 0},
        {"a P unit the stream lost", spans({{1, 10}, {11, 90}}), false, spans({{0, 10}, {60, 90}}),
         0, 49, 1},
        {"a full queue is cut back to its newest keyframe", spans({{1, 90}}), true,
         spans({{0, 1}, {60, 90}}), 59, 0, 0},
        {"a full queue of 64 without keyframe is emptied and waits for the next",
         spans({{1, 60}, {1, 90}}), true, spans({{0, 1}, {60, 90}}), 65, 53, 1},
    };
    const char* const name = GetParam();
    const testsupport::FixtureClip& liveClip = testsupport::fixtureClip(name);
    const bool isH265 = liveClip.codec == testsupport::Codec::H265;
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(liveClip);
    for (const Case& test : cases) {
        for (int repetition = 0; repetition < test.repetitions; ++repetition) {
            SCOPED_TRACE(std::string(name) + ": " + test.rule);
            HeldInstance run(51, units[0], test.holdFirst, isH265 ? "{\"isH265\":true}" : "{}");
            for (size_t index : test.committed) {
                // Without the hold, commits keep pace with decoding, as a live source does.
                while (!test.holdFirst && H264DecoderInspector::queuedSamples(*run.decoder) >=
                                              H264_DECODER_MAX_QUEUED_UNITS / 2) {
                    std::this_thread::sleep_for(1ms);
                }
                if (index == 60 && !test.holdFirst) {
                    // Half a queue behind: the loss was found, and the wait is on.
                    EXPECT_TRUE(Statistics(run.decoder->statisticsJson()).flag("keyframeNeeded"));
                }
                commit(*run.decoder, units[index], uint32_t(index));
            }
            run.tap->setHolding(false);
            // A picture too many would come before the last one and show in the comparison.
            ASSERT_TRUE(run.tap->waitForPictures(test.delivered.size()));
            expectPictures(*run.tap, liveClip, test.delivered);
            const Statistics figures(run.decoder->statisticsJson());
            const uint64_t lostToTheWait =
                figures.dropped("waitingForKeyframe") + figures.dropped("decodeError");
            EXPECT_EQ(figures.count("committed"), test.committed.size() + 1);
            EXPECT_EQ(figures.count("queued") + figures.count("decoded") +
                          figures.dropped("queueFull") + lostToTheWait,
                      test.committed.size() + 1)
                << "every committed unit is accounted for";
            EXPECT_EQ(figures.count("decoded"), test.delivered.size());
            EXPECT_EQ(figures.dropped("queueFull"), test.queueFull);
            EXPECT_EQ(lostToTheWait, test.lostToTheWait);
            EXPECT_EQ(figures.count("keyframeRequests"), test.keyframeRequests);
            EXPECT_FALSE(figures.flag("keyframeNeeded"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SampleQueue, LiveStream,
                         testing::Values("h264_gop60_1280x720", "h265_gop60_1280x720"),
                         [](const auto& clip) { return std::string(clip.param); });

// The teardown returns only once the held sample is done, and the queued ones, empty samples
// among them, never reach the session (LeakSanitizer checks that they are freed). Sizes that
// cannot be read queue nothing.
TEST(SampleQueue, TeardownFinishesTheCurrentSampleAndDiscardsTheQueue) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip());
    HeldInstance held(49, units[0]);
    for (size_t i = 1; i < units.size(); ++i) {
        commit(*held.decoder, units[i]);
    }
    const uint8_t byte = 0;
    held.decoder->decodeFrame(nullptr, 0, 0, 0, 0);
    held.decoder->decodeFrame(&byte, 0, 0, 0, 0);
    held.decoder->decodeFrame(nullptr, 0, 0, 16, 0);
    held.decoder->decodeFrame(&byte, 0, 0, 0x80000000u, 0);
    held.decoder->decodeFrame(&byte, 0, 0, 0xFFFFFFFFu, 0);
    EXPECT_EQ(H264DecoderInspector::queuedSamples(*held.decoder), units.size() - 1 + 2);
    auto teardown = std::async(std::launch::async, [&] { held.decoder.reset(); });
    EXPECT_EQ(teardown.wait_for(50ms), std::future_status::timeout)
        << "teardown returned while the decode thread was still inside its sample";
    held.tap->setHolding(false);
    teardown.get();
    expectPictures(*held.tap, clip(), {0});
}

}  // namespace
