// Out of memory on the calling thread: every allocation that a start, a commit, a binding or a
// session setup makes is failed in turn. Each call then answers false (or, for a known id, true as
// for any dropped frame or refused description), creates or changes nothing, leaks nothing
// (LeakSanitizer) and leaves no lock held (the next call would hang).
#include "H264HwDecoderImpl.h"
#include "HostSupport.h"

#include <cstdlib>
#include <memory>
#include <new>

namespace {

// Allocations left before the next one fails, on this thread only; negative: none fails.
thread_local long allocationsBeforeFailure = -1;
thread_local bool failureHappened = false;

void* allocate(std::size_t size) {
    if (allocationsBeforeFailure-- == 0) {
        failureHappened = true;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    if (void* memory = allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
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

// Counts the pictures a session hands over.
struct CountingDelegate : H264HwDecoderImplDelegate {
    void copyRenderBuffer(void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                          int32_t) override {
        ++pictures;
    }
    void forwardTextureInfo(int32_t, int32_t) override {}

    std::atomic<int> pictures{0};
};

TEST(AllocationFailure, EachCallOutOfMemoryFailsWholeOrLosesOnlyItsOwnWork) {
    const std::u16string config = decodertest::utf16("{\"isH265\":true,\"videoDelayTimeInMs\":40}");
    const std::u16string wider = decodertest::utf16(textureDescription(16, 4));
    const std::vector<uint8_t> unit(64, 0);
    const AccessUnit first = unitsOf("h264_cbp_320x240").front();
    int handle = 0, otherHandle = 0;
    bool answer = false;
    std::shared_ptr<H264HwDecoderImpl> session;
    std::shared_ptr<CountingDelegate> delegate;
    const auto newSession = [&] {
        session = std::make_shared<H264HwDecoderImpl>();
        delegate = std::make_shared<CountingDelegate>();
        session->setDelegate(delegate);
    };
    const struct {
        const char* name;
        long fewestAllocations;
        std::function<void()> setUp, call;
        std::function<void(bool failed)> holds;
    } operations[] = {
        // A start creates nothing, unless the failure hit something with a fallback of its own.
        {"start", 4, [] {}, [&] { answer = H264Decoder_start(kId, config.c_str()); },
         [&](bool failed) {
             EXPECT_TRUE(answer || failed);
             EXPECT_EQ(running(kId), answer);
             H264Decoder_stop(kId);
         }},
        // A commit drops its frame, as any dropped frame: the instance answers true.
        {"commit", 1, [] { EXPECT_TRUE(start(kId, "{}")); }, [&] { answer = commit(kId, unit); },
         [&](bool) { EXPECT_TRUE(answer); }},
        // A binding leaves the last one and what it shows as they were.
        {"binding", 0,
         [&] {
             EXPECT_TRUE(start(kId, "{}"));
             EXPECT_TRUE(bind(kId, &handle, textureDescription(8, 4)));
         },
         [&] { answer = H264Decoder_setNativeTexturePointer(kId, &otherHandle, wider.c_str()); },
         [&](bool failed) {
             const TextureSnapshot texture = snapshotTexture(kId).value();
             EXPECT_TRUE(answer || failed);
             EXPECT_EQ(texture.nativeTexture, failed ? &handle : &otherHandle);
             EXPECT_EQ(texture.frameBuffer, opaqueBlack(failed ? 8 : 16, 4));
         }},
        // The session is set up by the access unit that brings the parameter sets, on the decode
        // thread (here the test's own): that unit is lost and nothing else, the same unit decoded
        // again makes its picture.
        {"session setup", 6, newSession,
         [&] { session->DecodeNALUs(first.data(), int32_t(first.size()), 0); },
         [&](bool failed) {
             const int picturesBefore = delegate->pictures.load();
             EXPECT_TRUE(failed || picturesBefore == 1);
             session->DecodeNALUs(first.data(), int32_t(first.size()), 3333);
             EXPECT_EQ(delegate->pictures.load(), picturesBefore + 1);
             newSession();
         }},
    };
    for (const auto& operation : operations) {
        SCOPED_TRACE(operation.name);
        operation.setUp();
        // Allocation 0, 1, 2, ... of this thread fails in turn, until a run in which none did.
        long n = 0;
        for (failureHappened = true; failureHappened; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n);
            failureHappened = false;
            allocationsBeforeFailure = n;
            operation.call();
            allocationsBeforeFailure = -1;
            operation.holds(failureHappened);
        }
        EXPECT_GT(n, operation.fewestAllocations) << "the call made fewer allocations than it must";
        H264Decoder_stop(kId);
    }
}

}  // namespace
