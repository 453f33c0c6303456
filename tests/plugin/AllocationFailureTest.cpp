// Out of memory on the calling thread: every allocation that a start, a commit, a binding or a
// session setup makes is failed in turn. Each call then answers false (or, for a known id, true as
// for any dropped frame or refused description), creates or changes nothing, leaks nothing
// (LeakSanitizer) and leaves no lock held (the next call would hang).
#include "AnnexB.h"
#include "H264HwDecoderImpl.h"
#include "HostSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

// Allocations left before the next one fails, on this thread only; negative: none fails.
thread_local long allocationsBeforeFailure = -1;
thread_local bool failureHappened = false;

void* allocate(std::size_t size) {
    if (allocationsBeforeFailure == 0) {
        allocationsBeforeFailure = -1;
        failureHappened = true;
        return nullptr;
    }
    if (allocationsBeforeFailure > 0) {
        --allocationsBeforeFailure;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    if (void* memory = allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
}

// Runs `call` with allocation 0, 1, 2, ... of this thread failing in turn, `check(failed, n)`
// after each run, until a run in which no allocation failed. Answers how many runs failed.
template <typename Call, typename Check>
long failEachAllocationInTurn(Call call, Check check) {
    for (long n = 0;; ++n) {
        failureHappened = false;
        allocationsBeforeFailure = n;
        call();
        allocationsBeforeFailure = -1;
        check(failureHappened, n);
        if (!failureHappened) {
            return n;
        }
    }
}

}  // namespace

void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

using namespace hosttest;

namespace {

constexpr uint8_t kId = 21;

TEST(AllocationFailure, AStartThatRunsOutOfMemoryCreatesNothing) {
    const std::u16string config = decodertest::utf16("{\"isH265\":true,\"videoDelayTimeInMs\":40}");
    bool started = false;
    const long failures = failEachAllocationInTurn(
        [&] { started = H264Decoder_start(kId, config.c_str()); },
        [&](bool failed, long n) {
            if (!failed) {
                EXPECT_TRUE(started) << "allocation " << n;
            } else if (started) {
                H264Decoder_stop(kId);  // the failure hit something that had its own fallback
            } else {
                EXPECT_FALSE(running(kId)) << "allocation " << n;
            }
        });
    EXPECT_GT(failures, 3) << "the start made fewer allocations than it must";
    EXPECT_TRUE(running(kId));
    H264Decoder_stop(kId);
}

// A commit out of memory drops its frame, as any dropped frame: the instance answers true.
TEST(AllocationFailure, ACommitThatRunsOutOfMemoryIsDropped) {
    ASSERT_TRUE(start(kId, "{}"));
    const std::vector<uint8_t> unit(64, 0);
    bool accepted = false;
    const long failures = failEachAllocationInTurn(
        [&] { accepted = commit(kId, unit); },
        [&](bool, long n) { EXPECT_TRUE(accepted) << "allocation " << n; });
    EXPECT_GE(failures, 1) << "the commit copied nothing";
    H264Decoder_stop(kId);
}

TEST(AllocationFailure, ABindingThatRunsOutOfMemoryChangesNothing) {
    int handle = 0, otherHandle = 0;
    ASSERT_TRUE(start(kId, "{}"));
    ASSERT_TRUE(bind(kId, &handle, textureDescription(8, 4)));
    const std::u16string wider = decodertest::utf16(textureDescription(16, 4));
    bool answered = false;
    failEachAllocationInTurn(
        [&] { answered = H264Decoder_setNativeTexturePointer(kId, &otherHandle, wider.c_str()); },
        [&](bool failed, long n) {
            const TextureSnapshot texture = snapshotTexture(kId).value();
            EXPECT_TRUE(answered || failed) << "allocation " << n;
            EXPECT_EQ(texture.nativeTexture, failed ? &handle : &otherHandle) << "allocation " << n;
            EXPECT_EQ(texture.frameBuffer, opaqueBlack(failed ? 8 : 16, 4)) << "allocation " << n;
        });
    H264Decoder_stop(kId);
}

// Counts the pictures a session hands over.
class CountingDelegate : public H264HwDecoderImplDelegate {
  public:
    void copyRenderBuffer(void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                          int32_t) override {
        ++pictures;
    }
    void forwardTextureInfo(int32_t, int32_t) override {}

    std::atomic<int> pictures{0};
};

// The session is set up by the access unit that brings the parameter sets, on the decode
// thread (here the test's own). Out of memory there loses that unit and nothing else: the same
// unit decoded again makes its picture.
TEST(AllocationFailure, ASessionSetupThatRunsOutOfMemoryLosesOnlyThatUnit) {
    const AccessUnit first = unitsOf("h264_cbp_320x240").front();
    std::shared_ptr<H264HwDecoderImpl> session;
    std::shared_ptr<CountingDelegate> delegate;
    const auto newSession = [&] {
        session = std::make_shared<H264HwDecoderImpl>();
        delegate = std::make_shared<CountingDelegate>();
        session->setDelegate(delegate);
    };
    newSession();
    const long failures = failEachAllocationInTurn(
        [&] { session->DecodeNALUs(first.data(), int32_t(first.size()), 0); },
        [&](bool failed, long n) {
            const int picturesBefore = delegate->pictures.load();
            EXPECT_TRUE(failed || picturesBefore == 1) << "allocation " << n;
            session->DecodeNALUs(first.data(), int32_t(first.size()), 3333);
            EXPECT_EQ(delegate->pictures.load(), picturesBefore + 1) << "allocation " << n;
            newSession();
        });
    EXPECT_GT(failures, 5) << "the setup made fewer allocations than it must";
}

}  // namespace
