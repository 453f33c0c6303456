// What the tests that load the built library with dlopen, as the host does, share.
#pragma once

#include "EglContext.h"
#include "HostProcess.h"
#include "HostTexture.h"
#include "Pictures.h"
#include "PluginLibrary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace reliability {

inline std::u16string utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

inline std::string textureDescription(int width, int height) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"mipMap\":false,\"format\":0}";
}

inline std::unique_ptr<PluginLibrary> openPlugin() {
    testsupport::keepObjectiveCRuntimeLoaded();
    std::string error;
    auto library = PluginLibrary::open(PLUGIN_MODULE_PATH, &error);
    EXPECT_TRUE(library) << error;
    return library;
}

// Never torn down, as the host's context lives as long as the host: Mesa's driver, loaded with it,
// stays loaded to the end of the process, and what the driver keeps is not the plugin's to return.
inline bool makeHostContextCurrent(std::string* error) {
    static headlessgl::EglContext* const context =
        headlessgl::EglContext::create(kUnityGfxRendererOpenGLCore, error).release();
    if (context) {
        context->makeCurrent();
    }
    return context != nullptr;
}

// Issues render events, `beforeEach` ahead of each, until the host texture shows one of
// `references` (the texture's channels are RGBA, the references' BGRA); false if none shows
// within 20 s. Needs the texture's context to be current.
template <typename Before>
bool renderUntilShown(const PluginEntryPoints& api, const HostTexture& texture,
                      const std::vector<testsupport::BgraPicture>& references, Before beforeEach) {
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < deadline;) {
        beforeEach();
        api.nativeRenderEventFunc()(0);
        std::vector<uint8_t> pixels = texture.readPixels();
        for (size_t pixel = 0; pixel + 3 < pixels.size(); pixel += 4) {
            std::swap(pixels[pixel], pixels[pixel + 2]);
        }
        for (const testsupport::BgraPicture& reference : references) {
            if (testsupport::psnr({texture.width(), texture.height(), pixels}, reference) >= 45) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace reliability
