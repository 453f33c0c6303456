#include "PluginLibrary.h"

#include <dlfcn.h>

namespace {

template <typename Function>
bool resolve(void* handle, const char* name, Function* function, std::string* missing) {
    *function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!*function && missing->empty()) {
        *missing = name;
    }
    return *function != nullptr;
}

}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::open(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        *error = "cannot load plugin " + path + ": " + (reason ? reason : "unknown error");
        return nullptr;
    }
    std::unique_ptr<PluginLibrary> library(new PluginLibrary(handle));
    PluginEntryPoints& api = library->api_;
    std::string missing;
    resolve(handle, "UnityPluginLoad", &api.UnityPluginLoad, &missing);
    resolve(handle, "UnityPluginUnload", &api.UnityPluginUnload, &missing);
    resolve(handle, "H264Decoder_start", &api.start, &missing);
    resolve(handle, "H264Decoder_stop", &api.stop, &missing);
    resolve(handle, "H264Decoder_commitFrame", &api.commitFrame, &missing);
    resolve(handle, "H264Decoder_registerCallback", &api.registerCallback, &missing);
    resolve(handle, "H264Decoder_unregisterCallback", &api.unregisterCallback, &missing);
    resolve(handle, "H264Decoder_setNativeTexturePointer", &api.setNativeTexturePointer, &missing);
    resolve(handle, "H264Decoder_getStatistics", &api.getStatistics, &missing);
    resolve(handle, "H264Decoder_nativeRenderEventFunc", &api.nativeRenderEventFunc, &missing);
    if (!missing.empty()) {
        *error = "plugin " + path + " does not export " + missing;
        return nullptr;
    }
    return library;
}

PluginLibrary::~PluginLibrary() {
    dlclose(handle_);
}
