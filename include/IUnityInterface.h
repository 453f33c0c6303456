// The host engine's interface registry: every interface the host offers to a native plugin is
// found through IUnityInterfaces by its 128-bit GUID. Binary-compatible with the host's own
// declaration: plain C layout, function pointers in the host's order.
#pragma once

#if defined(__cplusplus)
#define UNITY_EXTERN_C extern "C"
#else
#define UNITY_EXTERN_C
#endif

// Entry points need C linkage and default visibility; no calling-convention decoration exists on
// macOS or Linux, so UNITY_INTERFACE_API is empty.
#define UNITY_INTERFACE_API
#define UNITY_INTERFACE_EXPORT __attribute__((visibility("default")))

// An interface identifier: two unsigned 64-bit halves, high then low, passed by value.
typedef struct UnityInterfaceGUID {
    unsigned long long m_GUIDHigh;
    unsigned long long m_GUIDLow;
} UnityInterfaceGUID;

#if defined(__cplusplus)
// Each interface struct names its GUID through this trait, so lookups cannot pair an interface
// with another interface's identifier.
template <typename Interface>
struct UnityInterfaceTraits;

#define UNITY_REGISTER_INTERFACE_GUID(high, low, Interface)     \
    template <>                                                 \
    struct UnityInterfaceTraits<Interface> {                    \
        static constexpr UnityInterfaceGUID guid() {            \
            return UnityInterfaceGUID{(high##ULL), (low##ULL)}; \
        }                                                       \
    };
#else
#define UNITY_REGISTER_INTERFACE_GUID(high, low, Interface)
#endif

// Every interface the host hands out is reached through a pointer to this opaque type.
typedef void IUnityInterface;

typedef struct IUnityInterfaces {
    IUnityInterface*(UNITY_INTERFACE_API* GetInterface)(UnityInterfaceGUID guid);
    void(UNITY_INTERFACE_API* RegisterInterface)(UnityInterfaceGUID guid, IUnityInterface* ptr);
    IUnityInterface*(UNITY_INTERFACE_API* GetInterfaceSplit)(unsigned long long guidHigh,
                                                             unsigned long long guidLow);
    void(UNITY_INTERFACE_API* RegisterInterfaceSplit)(unsigned long long guidHigh,
                                                      unsigned long long guidLow,
                                                      IUnityInterface* ptr);

#if defined(__cplusplus)
    // Typed lookup; null when the host has no such interface.
    template <typename Interface>
    Interface* Get() {
        return static_cast<Interface*>(GetInterface(UnityInterfaceTraits<Interface>::guid()));
    }
#endif
} IUnityInterfaces;

// Called by the host once after loading the plugin, and once before unloading it.
UNITY_EXTERN_C void UNITY_INTERFACE_EXPORT UNITY_INTERFACE_API
UnityPluginLoad(IUnityInterfaces* unityInterfaces);
UNITY_EXTERN_C void UNITY_INTERFACE_EXPORT UNITY_INTERFACE_API UnityPluginUnload(void);
