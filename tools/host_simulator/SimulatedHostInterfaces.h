// The host engine's side of the plugin interface: the interface registry and the graphics
// interface, reporting one renderer and delivering device events to whoever registered for them.
// The interfaces are plain C function tables, so one host exists per process.
#pragma once

#include "IUnityGraphics.h"
#include "IUnityInterface.h"

#include <cstddef>
#include <vector>

class SimulatedHostInterfaces {
  public:
    explicit SimulatedHostInterfaces(UnityGfxRenderer renderer);
    ~SimulatedHostInterfaces();
    SimulatedHostInterfaces(const SimulatedHostInterfaces&) = delete;
    SimulatedHostInterfaces& operator=(const SimulatedHostInterfaces&) = delete;

    IUnityInterfaces* interfaces() { return &interfaces_; }

    // Sends the event to every registered device event callback, in registration order.
    void sendDeviceEvent(UnityGfxDeviceEventType event);

    size_t registeredCallbackCount() const { return callbacks_.size(); }

  private:
    static IUnityInterface* getInterface(UnityInterfaceGUID guid);
    static IUnityInterface* getInterfaceSplit(unsigned long long high, unsigned long long low);
    static void registerInterface(UnityInterfaceGUID guid, IUnityInterface* interface);
    static void registerInterfaceSplit(unsigned long long high, unsigned long long low,
                                       IUnityInterface* interface);
    static UnityGfxRenderer getRenderer();
    static void registerDeviceEventCallback(IUnityGraphicsDeviceEventCallback callback);
    static void unregisterDeviceEventCallback(IUnityGraphicsDeviceEventCallback callback);
    static int reserveEventIdRange(int count);

    UnityGfxRenderer renderer_;
    IUnityInterfaces interfaces_;
    IUnityGraphics graphics_;
    std::vector<IUnityGraphicsDeviceEventCallback> callbacks_;
    int nextEventId_ = 0;
};
