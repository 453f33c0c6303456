// The host engine's Metal interfaces: the device and the command encoder the host renders with.
// Binary-compatible with the host's own declarations up to the last member declared here; the
// host's structs continue with members this plugin never calls, which therefore are omitted.
#pragma once

#include "IUnityInterface.h"

// Metal objects cross this interface as Objective-C object pointers. They are declared through
// the runtime's object struct so that plain C and C++ code can hold them without Metal's headers.
struct objc_object;
typedef struct objc_object* UnityMetalBundleRef;
typedef struct objc_object* UnityMetalDeviceRef;
typedef struct objc_object* UnityMetalCommandBufferRef;
typedef struct objc_object* UnityMetalCommandEncoderRef;
typedef struct objc_object* UnityMetalRenderPassDescriptorRef;

// The host's versioned Metal interface, asked for first.
typedef struct IUnityGraphicsMetalV1 {
    UnityMetalBundleRef(UNITY_INTERFACE_API* MetalBundle)(void);
    UnityMetalDeviceRef(UNITY_INTERFACE_API* MetalDevice)(void);
    UnityMetalCommandBufferRef(UNITY_INTERFACE_API* CurrentCommandBuffer)(void);
    // The render command encoder open at the moment of the call; valid only during that call.
    UnityMetalCommandEncoderRef(UNITY_INTERFACE_API* CurrentCommandEncoder)(void);
    void(UNITY_INTERFACE_API* EndCurrentCommandEncoder)(void);
    UnityMetalRenderPassDescriptorRef(UNITY_INTERFACE_API* CurrentRenderPassDescriptor)(void);
} IUnityGraphicsMetalV1;
UNITY_REGISTER_INTERFACE_GUID(0x29F8F3D03833465E, 0x92138551C15D823D, IUnityGraphicsMetalV1)

// The host's older, unversioned Metal interface, the only one that hosts predating the versioned
// interface offer: the same members in the same order.
typedef struct IUnityGraphicsMetal {
    UnityMetalBundleRef(UNITY_INTERFACE_API* MetalBundle)(void);
    UnityMetalDeviceRef(UNITY_INTERFACE_API* MetalDevice)(void);
    UnityMetalCommandBufferRef(UNITY_INTERFACE_API* CurrentCommandBuffer)(void);
    UnityMetalCommandEncoderRef(UNITY_INTERFACE_API* CurrentCommandEncoder)(void);
    void(UNITY_INTERFACE_API* EndCurrentCommandEncoder)(void);
    UnityMetalRenderPassDescriptorRef(UNITY_INTERFACE_API* CurrentRenderPassDescriptor)(void);
} IUnityGraphicsMetal;
UNITY_REGISTER_INTERFACE_GUID(0x992C8EAEA95811E5, 0x9A62C4B5B9876117, IUnityGraphicsMetal)
