// The host engine's graphics interface: which renderer the host draws with, and graphics device
// events. Binary-compatible with the host's own declaration.
#pragma once

#include "IUnityInterface.h"

// The host hands over values beyond those named here; in C++ the enums take the whole int range
// so that such values are representable.
#if defined(__cplusplus)
#define UNITY_INT_ENUM : int
#else
#define UNITY_INT_ENUM
#endif

// The host's renderers. Only OpenGL ES 2.0, OpenGL ES 3.0, Metal and OpenGL Core get a backend;
// every other value the host may report is treated as unsupported.
typedef enum UnityGfxRenderer UNITY_INT_ENUM {
    kUnityGfxRendererOpenGLES20 = 8,
    kUnityGfxRendererOpenGLES30 = 11,
    kUnityGfxRendererMetal = 16,
    kUnityGfxRendererOpenGLCore = 17,
} UnityGfxRenderer;

typedef enum UnityGfxDeviceEventType UNITY_INT_ENUM {
    kUnityGfxDeviceEventInitialize = 0,
    kUnityGfxDeviceEventShutdown = 1,
    kUnityGfxDeviceEventBeforeReset = 2,
    kUnityGfxDeviceEventAfterReset = 3,
} UnityGfxDeviceEventType;

typedef void(UNITY_INTERFACE_API* IUnityGraphicsDeviceEventCallback)(
    UnityGfxDeviceEventType eventType);

typedef struct IUnityGraphics {
    UnityGfxRenderer(UNITY_INTERFACE_API* GetRenderer)(void);
    // Unregistering takes the very function address that was registered.
    void(UNITY_INTERFACE_API* RegisterDeviceEventCallback)(
        IUnityGraphicsDeviceEventCallback callback);
    void(UNITY_INTERFACE_API* UnregisterDeviceEventCallback)(
        IUnityGraphicsDeviceEventCallback callback);
    int(UNITY_INTERFACE_API* ReserveEventIDRange)(int count);
} IUnityGraphics;
UNITY_REGISTER_INTERFACE_GUID(0x7CBA0A9CA4DDB544, 0x8C5AD4926EB17B11, IUnityGraphics)

// The render-event callback the host invokes on its render thread with an event id.
typedef void(UNITY_INTERFACE_API* UnityRenderingEvent)(int eventId);
