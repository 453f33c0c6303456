#include "GraphicsHost.h"

#include "EglContext.h"

#include <epoxy/gl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

GraphicsHost::GraphicsHost() {
    std::string whyNot;
    context_ = headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, &whyNot);
    if (!context_) {
        std::fprintf(stderr, "benchmark: no OpenGL context: %s\n", whyNot.c_str());
        std::exit(1);
    }
    host_ = std::make_unique<SimulatedHostInterfaces>(kUnityGfxRendererOpenGLCore);
    UnityPluginLoad(host_->interfaces());
    renderEvent_ = H264Decoder_nativeRenderEventFunc();
}

GraphicsHost::~GraphicsHost() {
    host_->sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    UnityPluginUnload();
}

void GraphicsHost::render() {
    renderEvent_(1);
    glFinish();
}
