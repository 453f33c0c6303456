// The plugin library as the host engine sees it: loaded with dlopen, every entry point resolved
// by name, nothing linked.
#pragma once

#include "H264DecoderPlugin.h"
#include "IUnityGraphics.h"
#include "IUnityInterface.h"

#include <memory>
#include <string>

struct PluginEntryPoints {
    void (*UnityPluginLoad)(IUnityInterfaces*) = nullptr;
    void (*UnityPluginUnload)() = nullptr;
    bool (*start)(uint8_t, const H264DecoderChar16*) = nullptr;
    void (*stop)(uint8_t) = nullptr;
    bool (*commitFrame)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) = nullptr;
    bool (*registerCallback)(uint8_t, H264DecoderTextureInfoCallback) = nullptr;
    bool (*unregisterCallback)(uint8_t) = nullptr;
    bool (*setNativeTexturePointer)(uint8_t, void*, const H264DecoderChar16*) = nullptr;
    bool (*getStatistics)(uint8_t, H264DecoderChar16*, int32_t) = nullptr;
    H264DecoderRenderEventFunc (*nativeRenderEventFunc)() = nullptr;
};

class PluginLibrary {
  public:
    // Loads the library and resolves every entry point; null with a one-line reason otherwise.
    static std::unique_ptr<PluginLibrary> open(const std::string& path, std::string* error);

    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    const PluginEntryPoints& api() const { return api_; }

  private:
    explicit PluginLibrary(void* handle) : handle_(handle) {}

    void* handle_;
    PluginEntryPoints api_;
};
