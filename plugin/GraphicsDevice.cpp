// Plugin load and unload, and the graphics device events that keep one render backend current
// for the host's device.
#include "GraphicsDevice.h"

#include "H264DecoderPlugin.h"

IUnityInterfaces* s_UnityInterfaces = nullptr;
IUnityGraphics* s_Graphics = nullptr;
std::unique_ptr<RenderAPI> s_CurrentAPI;

namespace {

void createBackendForCurrentRenderer() {
    // A host that offers no graphics interface gets no backend; decoding goes on regardless.
    const UnityGfxRenderer renderer =
        s_Graphics ? s_Graphics->GetRenderer() : static_cast<UnityGfxRenderer>(-1);
    // A backend that is already current belongs to the device being replaced: release it first.
    s_CurrentAPI.reset();
    s_CurrentAPI.reset(CreateRenderAPI(renderer));
}

}  // namespace

void OnGraphicsDeviceEvent(UnityGfxDeviceEventType eventType) {
    try {
        if (eventType == kUnityGfxDeviceEventInitialize) {
            createBackendForCurrentRenderer();
        }
        if (s_CurrentAPI) {
            s_CurrentAPI->ProcessDeviceEvent(eventType, s_UnityInterfaces);
        }
        if (eventType == kUnityGfxDeviceEventShutdown) {
            s_CurrentAPI.reset();
        }
    } catch (...) {
        // A backend that cannot be made leaves the plugin without one.
        s_CurrentAPI.reset();
    }
}

extern "C" void UnityPluginLoad(IUnityInterfaces* unityInterfaces) {
    s_UnityInterfaces = unityInterfaces;
    s_Graphics = unityInterfaces ? unityInterfaces->Get<IUnityGraphics>() : nullptr;
    if (s_Graphics) {
        s_Graphics->RegisterDeviceEventCallback(&OnGraphicsDeviceEvent);
    }
    OnGraphicsDeviceEvent(kUnityGfxDeviceEventInitialize);
}

extern "C" void UnityPluginUnload() {
    if (s_Graphics) {
        s_Graphics->UnregisterDeviceEventCallback(&OnGraphicsDeviceEvent);
    }
}
