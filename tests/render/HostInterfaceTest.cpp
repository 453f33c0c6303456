// The host interface headers are binary-compatible with the host: function pointers at the
// host's offsets and the host's enumeration values (checked as the program compiles), and each
// interface found under the host's GUID, high half first.
#include "FakeUnityInterfaces.h"
#include "IUnityGraphics.h"
#include "IUnityGraphicsMetal.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

constexpr size_t kPointer = sizeof(void*);

static_assert(sizeof(UnityInterfaceGUID) == 16, "two 64-bit halves");
static_assert(offsetof(UnityInterfaceGUID, m_GUIDLow) == 8, "high half first");
static_assert(offsetof(IUnityInterfaces, GetInterface) == 0 * kPointer, "");
static_assert(offsetof(IUnityInterfaces, RegisterInterface) == 1 * kPointer, "");
static_assert(offsetof(IUnityInterfaces, GetInterfaceSplit) == 2 * kPointer, "");
static_assert(offsetof(IUnityInterfaces, RegisterInterfaceSplit) == 3 * kPointer, "");
static_assert(offsetof(IUnityGraphics, GetRenderer) == 0 * kPointer, "");
static_assert(offsetof(IUnityGraphics, RegisterDeviceEventCallback) == 1 * kPointer, "");
static_assert(offsetof(IUnityGraphics, UnregisterDeviceEventCallback) == 2 * kPointer, "");
static_assert(offsetof(IUnityGraphics, ReserveEventIDRange) == 3 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, MetalBundle) == 0 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, MetalDevice) == 1 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, CurrentCommandBuffer) == 2 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, CurrentCommandEncoder) == 3 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, EndCurrentCommandEncoder) == 4 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetal, CurrentRenderPassDescriptor) == 5 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, MetalBundle) == 0 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, MetalDevice) == 1 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, CurrentCommandBuffer) == 2 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, CurrentCommandEncoder) == 3 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, EndCurrentCommandEncoder) == 4 * kPointer, "");
static_assert(offsetof(IUnityGraphicsMetalV1, CurrentRenderPassDescriptor) == 5 * kPointer, "");
static_assert(sizeof(UnityGfxRenderer) == 4 && sizeof(UnityGfxDeviceEventType) == 4,
              "the host passes both as 32-bit integers");
static_assert(kUnityGfxRendererOpenGLES20 == 8 && kUnityGfxRendererOpenGLES30 == 11 &&
                  kUnityGfxRendererMetal == 16 && kUnityGfxRendererOpenGLCore == 17,
              "the host's renderer values");
static_assert(kUnityGfxDeviceEventInitialize == 0 && kUnityGfxDeviceEventShutdown == 1 &&
                  kUnityGfxDeviceEventBeforeReset == 2 && kUnityGfxDeviceEventAfterReset == 3,
              "the host's device event values");

TEST(HostInterface, FindsEachInterfaceUnderTheHostsGuid) {
    testsupport::FakeUnityInterfaces host;
    IUnityGraphics graphics{};
    IUnityGraphicsMetal metal{};
    IUnityGraphicsMetalV1 metalV1{};
    host.interfaces()->RegisterInterfaceSplit(0x7CBA0A9CA4DDB544ULL, 0x8C5AD4926EB17B11ULL,
                                              &graphics);
    host.interfaces()->RegisterInterface(
        UnityInterfaceGUID{0x992C8EAEA95811E5ULL, 0x9A62C4B5B9876117ULL}, &metal);
    host.interfaces()->RegisterInterface(
        UnityInterfaceGUID{0x29F8F3D03833465EULL, 0x92138551C15D823DULL}, &metalV1);

    EXPECT_EQ(host.interfaces()->Get<IUnityGraphics>(), &graphics);
    EXPECT_EQ(host.interfaces()->Get<IUnityGraphicsMetal>(), &metal);
    EXPECT_EQ(host.interfaces()->Get<IUnityGraphicsMetalV1>(), &metalV1);
}

}  // namespace
