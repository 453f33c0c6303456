// Real clips through the decode session, access unit by access unit as a decode thread hands
// them over: every picture against FFmpeg's decode, the size reports, sessions set up and
// replaced as the parameter sets change, the registry, and the sessions left alive.
#include "HwDecodeTestSupport.h"
#include "ParameterSets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace hwdecodetest;

namespace {

constexpr const char* kCbp = "h264_cbp_320x240";
constexpr const char* kHevc = "h265_main_320x240";
// A stream that reorders pictures holds at most this many back until the session is flushed.
constexpr size_t kMaxHeldPictures = 4;
constexpr double kMinPsnr = 45.0;

bool isH265(const FixtureClip& clip) {
    return clip.codec == testsupport::Codec::H265;
}

class ClipDecodeTest : public ::testing::TestWithParam<FixtureClip> {};

// Each picture is the clip's picture of the same index: exactly (the MD5 of FFmpeg's decode) or
// within kMinPsnr of the stored reference. Each is locked read-only around its delivery alone.
TEST_P(ClipDecodeTest, DeliversEveryPictureAfterOneSizeReport) {
    const FixtureClip& clip = GetParam();
    const auto units = testsupport::readAccessUnits(clip);
    ASSERT_EQ(int(units.size()), clip.accessUnits);
    auto delegate = std::make_shared<RecordingDelegate>(size_t(clip.referenceFrames));
    auto handler = freshHandler(delegate, isH265(clip));
    takeLocks();
    feedClip(*handler, *delegate, units);

    EXPECT_EQ(platform().lastPixelFormat, int32_t{kCVPixelFormatType_32BGRA});
    EXPECT_TRUE(platform().lastAskedForHardware);
    EXPECT_FALSE(platform().lastRequiredHardware) << "a machine without one still decodes";
    const auto reports = delegate->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, clip.width);
    EXPECT_EQ(reports[0].height, clip.height);
    EXPECT_EQ(reports[0].accessUnit, 0) << "every clip opens with its parameter sets";
    // Pictures that a reordering stream still holds come out only when the session is flushed,
    // which DecodeNALUs never does; the test flushes to see them.
    const bool reorders = clip.name.find("bframes") != std::string::npos;
    EXPECT_GE(delegate->pictures().size() + (reorders ? kMaxHeldPictures : 0), size_t(clip.frames));
    VTDecompressionSessionFinishDelayedFrames(platform().lastSession);
    VTDecompressionSessionWaitForAsynchronousFrames(platform().lastSession);

    const auto pictures = delegate->pictures();
    ASSERT_EQ(pictures.size(), size_t(clip.frames));
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    std::vector<testsupport::BgraPicture> references;
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        EXPECT_EQ(pictures[i].format, 0);
        EXPECT_EQ(pictures[i].width, clip.width);
        EXPECT_EQ(pictures[i].height, clip.height);
        EXPECT_GE(pictures[i].bytesPerRow, 4 * clip.width);
        EXPECT_EQ(pictures[i].extraPixels, 0);
        if (pictures[i].md5 != md5s.at(i)) {
            if (references.empty()) {
                references = testsupport::readReferencePictures(clip);
            }
            ASSERT_LT(i, references.size()) << "not exact, and no stored reference to compare";
            ASSERT_FALSE(pictures[i].pixels.pixels.empty());
            EXPECT_GE(testsupport::psnr(pictures[i].pixels, references[i]), kMinPsnr);
        }
    }
    const auto locks = takeLocks();
    ASSERT_EQ(locks.size(), 2 * pictures.size());
    for (size_t i = 0; i < locks.size(); i += 2) {
        EXPECT_TRUE(locks[i].lock && !locks[i + 1].lock);
        EXPECT_EQ(locks[i].buffer, locks[i + 1].buffer);
        EXPECT_EQ(locks[i].flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
        EXPECT_EQ(locks[i + 1].flags, locks[i].flags);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ClipDecodeTest, ::testing::ValuesIn(testsupport::fixtureClips()),
                         [](const ::testing::TestParamInfo<FixtureClip>& clipInfo) {
                             return clipInfo.param.name;
                         });

// A session object fed step by step, and the pictures it should show, in order.
struct Stream {
    explicit Stream(bool h265) : handler(freshHandler(delegate, h265)) {}

    // Units [from, to) of the clip, the first `shown` of whose pictures are to be shown.
    void feed(const char* name, size_t from, size_t to, size_t shown = SIZE_MAX) {
        const FixtureClip& clip = testsupport::fixtureClip(name);
        const auto units = testsupport::readAccessUnits(clip);
        const auto md5s = testsupport::readFrameMd5s(clip);
        feed(name, {units.begin() + from, units.begin() + to},
             {md5s.begin() + from, md5s.begin() + from + std::min(shown, to - from)});
    }

    void feed(const char* name, const std::vector<AccessUnit>& units,
              const std::vector<std::string>& shown) {
        for (const AccessUnit& unit : units) {
            delegate->setAccessUnit(int(clipOf.size()));
            clipOf.push_back(&testsupport::fixtureClip(name));
            handler->DecodeNALUs(unit.data(), int32_t(unit.size()), 3000.0 * double(clipOf.size()));
        }
        expected.insert(expected.end(), shown.begin(), shown.end());
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<H264HwDecoderImpl> handler;
    std::vector<const FixtureClip*> clipOf;  // of each access unit fed
    std::vector<std::string> expected;
};

struct SessionCase {
    const char* name;
    bool h265;
    std::function<void(Stream&)> script;
    std::vector<int> sessionsSetUpAt;  // access units
};

// The clip with the parameter sets of its first access unit sent ahead in access units of their
// own, each of the NAL units that `groups` lists.
std::function<void(Stream&)> setsAhead(const char* name, std::vector<std::vector<size_t>> groups) {
    return [=](Stream& stream) {
        auto units = testsupport::readAccessUnits(testsupport::fixtureClip(name));
        const std::vector<Bytes> nals = splitNalUnits(units[0]);
        std::vector<AccessUnit> ahead;
        size_t sets = 0;
        for (const auto& group : groups) {
            std::vector<Bytes> chosen;
            for (size_t index : group) {
                chosen.push_back(nals[index]);
            }
            sets += group.size();
            ahead.push_back(joinAnnexB(chosen));
        }
        units[0] = joinAnnexB({nals.begin() + std::ptrdiff_t(sets), nals.end()});
        units.insert(units.begin(), ahead.begin(), ahead.end());
        stream.feed(name, units, testsupport::readFrameMd5s(testsupport::fixtureClip(name)));
    };
}

// Thirty units of one clip, then thirty of another that opens with its own sets and a keyframe.
std::function<void(Stream&)> joined(const char* first, const char* second) {
    return [=](Stream& stream) {
        stream.feed(first, 0, 30);
        stream.feed(second, 0, 30);
    };
}

// A decode that reports the session ended under the plugin (after sleep or a change of GPU, or a
// decoder failure) makes a new session from the sets in force; pictures are shown again from the
// next keyframe, at unit 60.
std::function<void(Stream&)> endedByThePlatform(const char* name, OSStatus status) {
    return [=](Stream& stream) {
        stream.feed(name, 0, 10);
        platform().nextDecodeStatus = status;
        stream.feed(name, 10, 60, 0);
        stream.feed(name, 60, 90);
        const DecodeStatistics::Snapshot figures = stream.handler->statistics()->snapshot();
        EXPECT_EQ(figures.lastStatus, status);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::WaitingForKeyframe)], 49u);
        EXPECT_EQ(figures.decoded, 40u);
        EXPECT_EQ(figures.keyframeRequests, 1u);
    };
}

// The NAL unit with its `index`-th exp-Golomb field after the header, which reads 0, set to 1
// ("1" becomes "010"): the bits after it move, and emulation prevention is made anew. Right for
// PPS and CAVLC slices, whose payload after these fields is not byte-aligned.
Bytes withUeFieldSetToOne(const Bytes& nal, int index) {
    std::vector<bool> bits;
    for (uint8_t byte : parametersets::unescapeRbsp(nal.data() + 1, nal.size() - 1)) {
        for (int bit = 7; bit >= 0; --bit) {
            bits.push_back((byte >> bit) & 1);
        }
    }
    while (!bits.back()) {
        bits.pop_back();  // down to the stop bit
    }
    size_t at = 0;
    for (int field = 0; field < index; ++field) {
        size_t zeros = 0;
        while (!bits[at++]) {
            ++zeros;
        }
        at += zeros;
    }
    EXPECT_TRUE(bits[at]);
    bits.insert(bits.begin() + std::ptrdiff_t(at) + 1, false);
    bits.insert(bits.begin() + std::ptrdiff_t(at), false);
    bits.resize((bits.size() + 7) / 8 * 8, false);
    Bytes escaped = {nal[0]};
    int zeros = 0;
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t byte = 0;
        for (size_t bit = 0; bit < 8; ++bit) {
            byte = uint8_t(byte << 1 | bits[i + bit]);
        }
        if (zeros >= 2 && byte <= 3) {
            escaped.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        escaped.push_back(byte);
    }
    return escaped;
}

const SessionCase kSessionCases[] = {
    {"SetsInAccessUnitsOfTheirOwnSetUpOnTheLast", false, setsAhead(kCbp, {{0}, {1}}), {1}},
    {"H265SetsSetUpOnlyOnceTheVpsIsThere", true, setsAhead(kHevc, {{1, 2}, {0}}), {1}},
    // Until the next random-access point the pictures go on decoding with the sets they were
    // made with.
    {"ANewSpsWaitsForTheNextRandomAccessPoint",
     false,
     [](Stream& stream) {
         const auto odd =
             testsupport::readAccessUnits(testsupport::fixtureClip("h264_odd_642x362"));
         stream.feed(kCbp, 0, 10);
         stream.feed("h264_odd_642x362",
                     {joinAnnexB({firstOfType(odd[0], 7, false), firstOfType(odd[0], 8, false)})},
                     {});
         stream.feed(kCbp, 10, 30);
     },
     {0}},
    // After a Reset the old stream's pictures are not decoded; the session stays until the
    // next stream's sets replace it.
    {"AfterAResetTheNextStreamsSetsStartANewSession",
     false,
     [](Stream& stream) {
         stream.feed(kCbp, 0, 10);
         stream.handler->Reset();
         stream.feed(kCbp, 10, 11, 0);
         stream.handler->SetH265(true);
         stream.feed(kHevc, 0, 30);
     },
     {0, 11}},
    {"ASetThatDoesNotParseSetsNothingUp",
     false,
     [](Stream& stream) {
         const auto units = testsupport::readAccessUnits(testsupport::fixtureClip(kCbp));
         stream.feed(kCbp, 0, 5);
         stream.handler->Reset();
         stream.feed(kCbp, {joinAnnexB({{0x67, 0x42}, firstOfType(units[0], 8, false)})}, {});
         stream.feed(kCbp, 0, 30);
     },
     {0, 6}},
    // The last two pictures of the first stream are still held for reordering at the Reset.
    {"HeldPicturesOfAReplacedSessionAreNotShown",
     false,
     [](Stream& stream) {
         stream.feed("h264_high_bframes_640x360", 0, 30, 28);
         stream.handler->Reset();
         stream.feed(kCbp, 0, 30);
     },
     {0, 30}},
    {"ANewSizeAtAKeyframeStartsANewSession", false, joined(kCbp, "h264_gop60_1280x720"), {0, 30}},
    {"H265NewSizeAtAKeyframeStartsANewSession",
     true,
     joined(kHevc, "h265_gop60_1280x720"),
     {0, 30}},
    {"TheSameSizeAtAKeyframeKeepsTheSession",
     false,
     joined(kCbp, "h264_repeat_headers_320x240"),
     {0}},
    {"H265SameSizeAtAKeyframeKeepsTheSession",
     true,
     joined(kHevc, "h265_repeat_headers_320x240"),
     {0}},
    {"ASessionThePlatformInvalidatedIsReplaced",
     false,
     endedByThePlatform("h264_gop60_1280x720", kVTInvalidSessionErr),
     {0, 11}},
    {"ASessionWhoseDecoderFailedIsReplaced",
     true,
     endedByThePlatform("h265_gop60_1280x720", kVTVideoDecoderMalfunctionErr),
     {0, 11}},
    // Slices that refer to a second PPS (id 1, the first one's copy) decode: the format
    // description carries every set the stream sent.
    {"SlicesThatReferToASecondPpsDecode",
     false,
     [](Stream& stream) {
         std::vector<AccessUnit> units;
         for (const AccessUnit& unit :
              testsupport::readAccessUnits(testsupport::fixtureClip(kCbp))) {
             std::vector<Bytes> nals;
             for (const Bytes& nal : splitNalUnits(unit)) {
                 const int type = nalType(nal, false);
                 if (type == 8) {
                     nals.push_back(nal);
                 }
                 nals.push_back(type == 8                ? withUeFieldSetToOne(nal, 0)
                                : type == 1 || type == 5 ? withUeFieldSetToOne(nal, 2)
                                                         : nal);
             }
             units.push_back(joinAnnexB(nals));
         }
         stream.feed(kCbp, units, testsupport::readFrameMd5s(testsupport::fixtureClip(kCbp)));
     },
     {0}},
};

void PrintTo(const SessionCase& row, std::ostream* out) {
    *out << row.name;
}

class SessionSetupTest : public ::testing::TestWithParam<SessionCase> {};

// Each session reports the size of the stream whose sets made it, and one replaced is released.
TEST_P(SessionSetupTest, ShowsEachStreamsPicturesWithTheSetsInForce) {
    const size_t liveBefore = liveSessions();
    const size_t createdBefore = createdSessions();
    Stream stream(GetParam().h265);
    GetParam().script(stream);

    std::vector<int> setUpAt;
    for (const SizeReport& report : stream.delegate->sizeReports()) {
        setUpAt.push_back(report.accessUnit);
        EXPECT_EQ(report.width, stream.clipOf.at(size_t(report.accessUnit))->width);
        EXPECT_EQ(report.height, stream.clipOf.at(size_t(report.accessUnit))->height);
    }
    EXPECT_EQ(setUpAt, GetParam().sessionsSetUpAt);
    EXPECT_EQ(createdSessions() - createdBefore, setUpAt.size());
    EXPECT_EQ(stream.handler->statistics()->snapshot().sessions, setUpAt.size());
    EXPECT_EQ(liveSessions(), liveBefore + 1);
    EXPECT_EQ(stream.delegate->md5s(), stream.expected);
}

INSTANTIATE_TEST_SUITE_P(Streams, SessionSetupTest, ::testing::ValuesIn(kSessionCases),
                         [](const ::testing::TestParamInfo<SessionCase>& row) {
                             return std::string(row.param.name);
                         });

TEST(SessionLifetimeTest, StopStartCyclesKeepOneLiveSession) {
    const auto h264Units = testsupport::readAccessUnits(testsupport::fixtureClip(kCbp));
    const auto h265Units = testsupport::readAccessUnits(testsupport::fixtureClip(kHevc));
    const std::string key = freshKey();
    const auto handler = H264HwDecoderImpl::sharedHandler(key);
    const size_t liveAtStart = liveSessions();
    const size_t createdAtStart = createdSessions();
    constexpr int kCycles = 12;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const bool h265 = cycle % 2 == 1;
        auto delegate = std::make_shared<RecordingDelegate>();
        ASSERT_EQ(H264HwDecoderImpl::sharedHandler(key), handler);
        handler->setDelegate(delegate);
        handler->SetH265(h265);
        const auto& units = h265 ? h265Units : h264Units;
        feedClip(*handler, *delegate, {units.begin(), units.begin() + 5});
        EXPECT_EQ(delegate->pictures().size(), 5u);
        EXPECT_EQ(delegate->sizeReports().size(), 1u);
        EXPECT_EQ(liveSessions(), liveAtStart + 1) << "cycle " << cycle;
        H264HwDecoderImpl::sharedHandler(key)->Reset();
    }
    EXPECT_EQ(createdSessions(), createdAtStart + kCycles);
    EXPECT_EQ(liveSessions(), liveAtStart + 1) << "the last session stays until the next setup";
}

TEST(SessionLifetimeTest, DelegateSwappedWhileDecodingGetsEveryPictureOnce) {
    const auto units = testsupport::readAccessUnits(testsupport::fixtureClip(kCbp));
    auto first = std::make_shared<RecordingDelegate>();
    auto second = std::make_shared<RecordingDelegate>();
    auto handler = freshHandler(first, false);
    std::atomic<bool> decoding{true};
    std::thread swapper([&] {
        for (int i = 0; decoding; ++i) {
            handler->setDelegate(i % 2 == 0 ? second : first);
            std::this_thread::yield();
        }
    });
    constexpr size_t kRounds = 3;
    for (size_t round = 0; round < kRounds; ++round) {
        feedClip(*handler, *first, units);
    }
    decoding = false;
    swapper.join();
    EXPECT_EQ(first->pictures().size() + second->pictures().size(), kRounds * units.size());
    EXPECT_EQ(first->sizeReports().size() + second->sizeReports().size(), 1u);
}

// A Reset starts the stream over at its next random-access point (every round of the clip begins
// with one): pictures in between are skipped, and every picture delivered is a correct one.
TEST(SessionLifetimeTest, ResetRacingWithDecodingDeliversOnlyCorrectPictures) {
    const auto units = testsupport::readAccessUnits(testsupport::fixtureClip(kCbp));
    const auto md5s = testsupport::readFrameMd5s(testsupport::fixtureClip(kCbp));
    auto delegate = std::make_shared<RecordingDelegate>();
    auto handler = freshHandler(delegate, false);
    std::atomic<bool> decoding{true};
    std::atomic<int> resets{0};
    std::thread resetter([&] {
        while (decoding) {
            handler->Reset();
            ++resets;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    constexpr size_t kRounds = 4;
    for (size_t round = 0; round < kRounds; ++round) {
        feedClip(*handler, *delegate, units);
    }
    decoding = false;
    resetter.join();

    EXPECT_GT(resets.load(), 0);
    const auto delivered = delegate->md5s();
    EXPECT_GE(delivered.size(), kRounds - 1);
    const std::set<std::string> clipPictures(md5s.begin(), md5s.end());
    for (size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_EQ(clipPictures.count(delivered[i]), 1u) << "picture " << i;
    }
    EXPECT_GE(delegate->sizeReports().size(), 1u);
}

// Threads asking for the same keys at once share one object per key, allocated and logged once,
// which a Reset leaves in place.
TEST(RegistryTest, ThreadsRacingForAKeyShareOneObject) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 20;
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i) {
        keys.push_back(freshKey());
    }
    std::vector<std::vector<std::shared_ptr<H264HwDecoderImpl>>> seen(kThreads);
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (const std::string& key : keys) {
                seen[t].push_back(H264HwDecoderImpl::sharedHandler(key));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string log = ::testing::internal::GetCapturedStderr();
    std::set<std::shared_ptr<H264HwDecoderImpl>> distinct;
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 1; t < kThreads; ++t) {
            EXPECT_EQ(seen[t][k], seen[0][k]) << "key " << keys[k];
        }
        distinct.insert(seen[0][k]);
        const std::string line = "decoder: Allocating decoder instance for " + keys[k] + "...\n";
        const size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos);
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "logged once";
    }
    EXPECT_EQ(distinct.size(), size_t(kKeys));
    seen[0][0]->Reset();
    EXPECT_EQ(H264HwDecoderImpl::sharedHandler(keys[0]), seen[0][0]);
}

}  // namespace
