// The host's interface registry as a test double: interfaces are registered by GUID and handed
// out through a real IUnityInterfaces table of plain function pointers.
#pragma once

#include "IUnityInterface.h"

#include <utility>
#include <vector>

namespace testsupport {

class FakeUnityInterfaces {
  public:
    // Becomes the registry that the table's functions consult; one may exist at a time.
    FakeUnityInterfaces();
    FakeUnityInterfaces(const FakeUnityInterfaces&) = delete;
    FakeUnityInterfaces& operator=(const FakeUnityInterfaces&) = delete;
    ~FakeUnityInterfaces();

    template <typename Interface>
    void add(Interface* implementation) {
        add(UnityInterfaceTraits<Interface>::guid(), implementation);
    }
    void add(UnityInterfaceGUID guid, IUnityInterface* implementation);

    IUnityInterfaces* interfaces() { return &table_; }

    // How often GetInterface (or GetInterfaceSplit) was asked for anything.
    int lookups() const { return lookups_; }

  private:
    static IUnityInterface* getInterface(UnityInterfaceGUID guid);
    static void registerInterface(UnityInterfaceGUID guid, IUnityInterface* implementation);
    static IUnityInterface* getInterfaceSplit(unsigned long long high, unsigned long long low);
    static void registerInterfaceSplit(unsigned long long high, unsigned long long low,
                                       IUnityInterface* implementation);

    IUnityInterfaces table_;
    std::vector<std::pair<UnityInterfaceGUID, IUnityInterface*>> registered_;
    int lookups_ = 0;
};

}  // namespace testsupport
