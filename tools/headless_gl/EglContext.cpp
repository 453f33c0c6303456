#include "EglContext.h"

#include <epoxy/egl.h>
#include <epoxy/gl.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace headlessgl {

namespace {

// The platform hands out one display, initialised once per process and never terminated. Mesa
// reads MESA_GLES_VERSION_OVERRIDE when the display is initialised, so a process can have OpenGL
// ES contexts of one version only: the version of its first context (OpenGL Core ignores it).
bool s_contextAlive = false;

struct ContextRequest {
    EGLenum api;
    EGLint major;
    EGLint minor;
    const char* glesOverride;  // what Mesa must report instead of its newest ES version
};

ContextRequest requestFor(UnityGfxRenderer renderer) {
    switch (renderer) {
        case kUnityGfxRendererOpenGLES20:
            return {EGL_OPENGL_ES_API, 2, 0, "2.0"};
        case kUnityGfxRendererOpenGLES30:
            return {EGL_OPENGL_ES_API, 3, 0, "3.0"};
        default:
            return {EGL_OPENGL_API, 3, 2, nullptr};
    }
}

EGLDisplay initializedDisplay(const char* glesOverride, std::string* whyNot) {
    static EGLDisplay display = EGL_NO_DISPLAY;
    static std::string initializedWith;
    const std::string wanted = glesOverride != nullptr ? glesOverride : "";
    if (display == EGL_NO_DISPLAY) {
        if (!wanted.empty()) {
            setenv("MESA_GLES_VERSION_OVERRIDE", wanted.c_str(), 1);
        }
        EGLDisplay candidate =
            eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (candidate == EGL_NO_DISPLAY || !eglInitialize(candidate, nullptr, nullptr)) {
            *whyNot = "no surfaceless EGL display";
            return EGL_NO_DISPLAY;
        }
        display = candidate;
        initializedWith = wanted;
    }
    if (!wanted.empty() && wanted != initializedWith) {
        *whyNot = "OpenGL ES " + wanted + " needs a process of its own: Mesa fixed this one's " +
                  "OpenGL ES version with its first context";
        return EGL_NO_DISPLAY;
    }
    return display;
}

bool reportsRequestedVersion(const ContextRequest& request) {
    const bool desktop = request.api == EGL_OPENGL_API;
    const int requested = request.major * 10 + request.minor;
    const int version = epoxy_gl_version();
    return epoxy_is_desktop_gl() == desktop &&
           (desktop ? version >= requested : version == requested);
}

}  // namespace

std::unique_ptr<EglContext> EglContext::create(UnityGfxRenderer renderer, std::string* whyNot) {
    if (s_contextAlive) {
        *whyNot = "only one EglContext may exist at a time";
        return nullptr;
    }
    const ContextRequest request = requestFor(renderer);
    EGLDisplay display = initializedDisplay(request.glesOverride, whyNot);
    if (display == EGL_NO_DISPLAY) {
        return nullptr;
    }
    std::unique_ptr<EglContext> created(new EglContext(renderer, display, EGL_NO_CONTEXT));
    if (!eglBindAPI(request.api)) {
        *whyNot = "eglBindAPI failed";
        return nullptr;
    }
    std::vector<EGLint> attributes = {EGL_CONTEXT_MAJOR_VERSION, request.major,
                                      EGL_CONTEXT_MINOR_VERSION, request.minor};
    if (request.api == EGL_OPENGL_API) {
        attributes.insert(attributes.end(),
                          {EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT});
    }
    attributes.push_back(EGL_NONE);
    created->context_ =
        eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes.data());
    if (created->context_ == EGL_NO_CONTEXT) {
        *whyNot = "eglCreateContext failed";
        return nullptr;
    }
    created->makeCurrent();
    if (!reportsRequestedVersion(request)) {
        *whyNot = std::string("context reports ") +
                  reinterpret_cast<const char*>(glGetString(GL_VERSION));
        return nullptr;
    }
    return created;
}

EglContext::EglContext(UnityGfxRenderer renderer, void* display, void* context)
    : renderer_(renderer), display_(display), context_(context) {
    s_contextAlive = true;
}

EglContext::~EglContext() {
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_ != EGL_NO_CONTEXT) {
        eglDestroyContext(display_, context_);
    }
    s_contextAlive = false;
}

void EglContext::makeCurrent() {
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_);
}

std::string rendererName(UnityGfxRenderer renderer) {
    switch (renderer) {
        case kUnityGfxRendererOpenGLCore:
            return "OpenGLCore";
        case kUnityGfxRendererOpenGLES30:
            return "OpenGLES30";
        case kUnityGfxRendererOpenGLES20:
            return "OpenGLES20";
        default:
            return "Renderer" + std::to_string(int(renderer));
    }
}

}  // namespace headlessgl
