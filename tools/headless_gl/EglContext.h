// A headless OpenGL context standing in for the host engine's: EGL on Mesa's surfaceless platform,
// no display and no surface, so everything is drawn into framebuffer objects.
#pragma once

#include "IUnityGraphics.h"

#include <memory>
#include <string>

namespace headlessgl {

class EglContext {
  public:
    // A current context of the host renderer's API (OpenGL Core 3.2, OpenGL ES 3.0 or ES 2.0),
    // or null with the reason in *whyNot. Mesa reports the version that was asked for. One
    // context at a time, and OpenGL ES of one version per process: Mesa fixes the ES version
    // with the process's first context.
    static std::unique_ptr<EglContext> create(UnityGfxRenderer renderer, std::string* whyNot);

    EglContext(const EglContext&) = delete;
    EglContext& operator=(const EglContext&) = delete;
    ~EglContext();

    void makeCurrent();
    UnityGfxRenderer renderer() const { return renderer_; }

  private:
    EglContext(UnityGfxRenderer renderer, void* display, void* context);

    UnityGfxRenderer renderer_;
    void* display_;
    void* context_;
};

// The renderer's name for test names: "OpenGLCore", "OpenGLES30", "OpenGLES20".
std::string rendererName(UnityGfxRenderer renderer);

}  // namespace headlessgl
