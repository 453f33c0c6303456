// The plugin's side of the host's graphics life: the host interfaces it was loaded with and the
// render backend for the host's current graphics device. Device events and render events come
// from the host's render thread one at a time, so these are read and replaced without a lock.
#pragma once

#include "IUnityGraphics.h"
#include "IUnityInterface.h"
#include "RenderAPI.h"

#include <memory>

extern IUnityInterfaces* s_UnityInterfaces;
extern IUnityGraphics* s_Graphics;
// Null when the host's renderer has no backend or the device has been shut down.
extern std::unique_ptr<RenderAPI> s_CurrentAPI;

// The device event callback registered with the host.
void OnGraphicsDeviceEvent(UnityGfxDeviceEventType eventType);

// The render-event callback handed out by H264Decoder_nativeRenderEventFunc: uploads the frame
// buffer of every instance with a bound texture, in ascending decoder id order.
void OnRenderEvent(int eventId);
