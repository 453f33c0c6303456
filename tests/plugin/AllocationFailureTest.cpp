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

// Runs `call` with allocation number `n` of this thread failing; true when it did fail.
template <typename Call>
bool withFailingAllocation(long n, Call call) {
    failureHappened = false;
    allocationsBeforeFailure = n;
    call();
    allocationsBeforeFailure = -1;
    return failureHappened;
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

using namespace decodertest;
using namespace hosttest;
using testsupport::AccessUnit;

namespace {

constexpr uint8_t kId = 21;
int textureHandle = 0;

TEST(AllocationFailure, AStartThatRunsOutOfMemoryCreatesNothing) {
    const std::u16string config = utf16("{\"isH265\":true,\"videoDelayTimeInMs\":40}");
    long failures = 0;
    for (long n = 0;; ++n) {
        bool started = false;
        const bool failed =
            withFailingAllocation(n, [&] { started = H264Decoder_start(kId, config.c_str()); });
        if (!failed) {
            ASSERT_TRUE(started) << "allocation " << n;
            break;
        }
        ++failures;
        if (started) {
            H264Decoder_stop(kId);  // the failure hit something that had its own fallback
        } else {
            EXPECT_FALSE(H264Decoder_commitFrame(kId, nullptr, 0, 0, 0, 0)) << "allocation " << n;
        }
    }
    EXPECT_GT(failures, 3) << "the start made fewer allocations than it must";
    EXPECT_TRUE(H264Decoder_commitFrame(kId, nullptr, 0, 0, 0, 0));
    H264Decoder_stop(kId);
}

TEST(AllocationFailure, ACommitThatRunsOutOfMemoryIsDropped) {
    ASSERT_TRUE(start(kId, "{}"));
    const std::vector<uint8_t> unit(64, 0);
    for (long n = 0; n < 3; ++n) {
        bool accepted = false;
        withFailingAllocation(n, [&] { accepted = commit(kId, unit); });
        EXPECT_TRUE(accepted) << "allocation " << n;
    }
    H264Decoder_stop(kId);
}

TEST(AllocationFailure, ABindingThatRunsOutOfMemoryChangesNothing) {
    ASSERT_TRUE(start(kId, "{}"));
    ASSERT_TRUE(bind(kId, &textureHandle, textureDescription(8, 4)));
    const std::u16string wider = utf16(textureDescription(16, 4));
    int otherHandle = 0;
    for (long n = 0;; ++n) {
        bool answered = false;
        const bool failed = withFailingAllocation(n, [&] {
            answered = H264Decoder_setNativeTexturePointer(kId, &otherHandle, wider.c_str());
        });
        const std::optional<TextureSnapshot> texture = snapshotTexture(kId);
        ASSERT_TRUE(texture.has_value());
        EXPECT_TRUE(texture->bound);
        if (!failed) {
            EXPECT_TRUE(answered);
            EXPECT_EQ(texture->width, 16);
            EXPECT_EQ(texture->nativeTexture, &otherHandle);
            break;
        }
        EXPECT_EQ(texture->width, 8) << "allocation " << n;
        EXPECT_EQ(texture->nativeTexture, &textureHandle) << "allocation " << n;
        EXPECT_EQ(texture->frameBuffer.size(), 8u * 4 * 4) << "allocation " << n;
    }
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
    const AccessUnit first =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_cbp_320x240")).front();
    long failures = 0;
    for (long n = 0;; ++n) {
        const auto session = std::make_shared<H264HwDecoderImpl>();
        const auto delegate = std::make_shared<CountingDelegate>();
        session->setDelegate(delegate);
        const bool failed = withFailingAllocation(
            n, [&] { session->DecodeNALUs(first.data(), int32_t(first.size()), 0); });
        const int picturesBefore = delegate->pictures.load();
        session->DecodeNALUs(first.data(), int32_t(first.size()), 3333);
        EXPECT_EQ(delegate->pictures.load(), picturesBefore + 1) << "allocation " << n;
        if (!failed) {
            EXPECT_EQ(picturesBefore, 1);
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 5) << "the setup made fewer allocations than it must";
}

}  // namespace
