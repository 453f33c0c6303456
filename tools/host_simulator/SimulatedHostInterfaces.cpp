#include "SimulatedHostInterfaces.h"

#include <algorithm>
#include <stdexcept>

namespace {

SimulatedHostInterfaces* s_host = nullptr;
IUnityGraphics* s_graphics = nullptr;

bool isGraphicsGuid(unsigned long long high, unsigned long long low) {
    const UnityInterfaceGUID graphics = UnityInterfaceTraits<IUnityGraphics>::guid();
    return high == graphics.m_GUIDHigh && low == graphics.m_GUIDLow;
}

}  // namespace

SimulatedHostInterfaces::SimulatedHostInterfaces(UnityGfxRenderer renderer)
    : renderer_(renderer),
      interfaces_{&getInterface, &registerInterface, &getInterfaceSplit, &registerInterfaceSplit},
      graphics_{&getRenderer, &registerDeviceEventCallback, &unregisterDeviceEventCallback,
                &reserveEventIdRange} {
    if (s_host) {
        throw std::logic_error("one simulated host per process");
    }
    s_host = this;
    s_graphics = &graphics_;
}

SimulatedHostInterfaces::~SimulatedHostInterfaces() {
    s_host = nullptr;
    s_graphics = nullptr;
}

void SimulatedHostInterfaces::sendDeviceEvent(UnityGfxDeviceEventType event) {
    // A callback may unregister itself while it runs.
    const std::vector<IUnityGraphicsDeviceEventCallback> callbacks = callbacks_;
    for (IUnityGraphicsDeviceEventCallback callback : callbacks) {
        callback(event);
    }
}

IUnityInterface* SimulatedHostInterfaces::getInterface(UnityInterfaceGUID guid) {
    return getInterfaceSplit(guid.m_GUIDHigh, guid.m_GUIDLow);
}

IUnityInterface* SimulatedHostInterfaces::getInterfaceSplit(unsigned long long high,
                                                            unsigned long long low) {
    return isGraphicsGuid(high, low) ? s_graphics : nullptr;
}

// The simulator offers no interfaces of its own to register with.
void SimulatedHostInterfaces::registerInterface(UnityInterfaceGUID, IUnityInterface*) {}
void SimulatedHostInterfaces::registerInterfaceSplit(unsigned long long, unsigned long long,
                                                     IUnityInterface*) {}

UnityGfxRenderer SimulatedHostInterfaces::getRenderer() {
    return s_host->renderer_;
}

void SimulatedHostInterfaces::registerDeviceEventCallback(
    IUnityGraphicsDeviceEventCallback callback) {
    s_host->callbacks_.push_back(callback);
}

void SimulatedHostInterfaces::unregisterDeviceEventCallback(
    IUnityGraphicsDeviceEventCallback callback) {
    auto& callbacks = s_host->callbacks_;
    callbacks.erase(std::remove(callbacks.begin(), callbacks.end(), callback), callbacks.end());
}

int SimulatedHostInterfaces::reserveEventIdRange(int count) {
    const int first = s_host->nextEventId_;
    s_host->nextEventId_ += count;
    return first;
}
