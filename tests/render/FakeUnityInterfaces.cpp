#include "FakeUnityInterfaces.h"

#include <cassert>

namespace testsupport {

namespace {
FakeUnityInterfaces* s_current = nullptr;
}

FakeUnityInterfaces::FakeUnityInterfaces()
    : table_{&getInterface, &registerInterface, &getInterfaceSplit, &registerInterfaceSplit} {
    assert(s_current == nullptr);
    s_current = this;
}

FakeUnityInterfaces::~FakeUnityInterfaces() {
    s_current = nullptr;
}

void FakeUnityInterfaces::add(UnityInterfaceGUID guid, IUnityInterface* implementation) {
    registered_.emplace_back(guid, implementation);
}

IUnityInterface* FakeUnityInterfaces::getInterface(UnityInterfaceGUID guid) {
    return getInterfaceSplit(guid.m_GUIDHigh, guid.m_GUIDLow);
}

void FakeUnityInterfaces::registerInterface(UnityInterfaceGUID guid,
                                            IUnityInterface* implementation) {
    s_current->add(guid, implementation);
}

IUnityInterface* FakeUnityInterfaces::getInterfaceSplit(unsigned long long high,
                                                        unsigned long long low) {
    ++s_current->lookups_;
    for (const auto& [guid, implementation] : s_current->registered_) {
        if (guid.m_GUIDHigh == high && guid.m_GUIDLow == low) {
            return implementation;
        }
    }
    return nullptr;
}

void FakeUnityInterfaces::registerInterfaceSplit(unsigned long long high, unsigned long long low,
                                                 IUnityInterface* implementation) {
    s_current->add(UnityInterfaceGUID{high, low}, implementation);
}

}  // namespace testsupport
