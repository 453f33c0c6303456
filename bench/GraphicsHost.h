// The host's side for benchmarks: a headless OpenGL Core context, the plugin loaded into it
// with its backend, and render events on the calling thread.
#pragma once

#include "H264DecoderPlugin.h"
#include "SimulatedHostInterfaces.h"

#include <memory>

namespace headlessgl {
class EglContext;
}

class GraphicsHost {
  public:
    // Exits the program when no OpenGL context can be had.
    GraphicsHost();
    ~GraphicsHost();
    GraphicsHost(const GraphicsHost&) = delete;
    GraphicsHost& operator=(const GraphicsHost&) = delete;

    // One render event, waited for until the GPU has done the upload.
    void render();

  private:
    std::unique_ptr<headlessgl::EglContext> context_;
    std::unique_ptr<SimulatedHostInterfaces> host_;
    H264DecoderRenderEventFunc renderEvent_ = nullptr;
};
