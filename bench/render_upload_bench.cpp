// What one render event costs per 1080p picture in the OpenGL backend's upload, on each headless
// context, against a bare glTexSubImage2D of the same bytes as GL_RGBA (the driver's cheapest
// upload, with red and blue swapped) measured in the same run; and what every other correct
// pixel transfer of the API would cost, which is how the backend's choice was made.
#include "EglContext.h"
#include "GLTextureUpload.h"
#include "RenderAPI.h"
#include "RenderAPI_OpenGLCoreES.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRowPitch = kWidth * 4;
constexpr int kWarmUp = 5;
constexpr int kRounds = 15;
constexpr int kUploadsPerRound = 10;

std::vector<uint8_t> syntheticPicture() {
    std::vector<uint8_t> pixels(size_t(kRowPitch) * kHeight);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = uint8_t((i * 2654435761u) >> 24);
    }
    return pixels;
}

GLuint makeTexture(GLenum internalFormat, GLenum format) {
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GLint(internalFormat), kWidth, kHeight, 0, format,
                 GL_UNSIGNED_BYTE, nullptr);
    return texture;
}

// The host's BGRA texture for a transfer, as the tests make it.
GLuint makeHostTexture(GLPixelTransfer transfer) {
    switch (transfer) {
        case GLPixelTransfer::BgraReversed:
            return makeTexture(GL_RGBA8, GL_BGRA);
        case GLPixelTransfer::BgraExt:
            return makeTexture(GL_BGRA_EXT, GL_BGRA_EXT);
        case GLPixelTransfer::SwizzleToRgba:
            break;
    }
    return makeTexture(GL_RGBA, GL_RGBA);
}

// Milliseconds per upload, with the GPU work finished inside the measurement: the fastest of
// several rounds, since other processes on the machine only ever add time.
double millisecondsPerUpload(const std::function<void()>& upload) {
    for (int i = 0; i < kWarmUp; ++i) {
        upload();
    }
    glFinish();
    double fastest = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kUploadsPerRound; ++i) {
            upload();
        }
        glFinish();
        const std::chrono::duration<double, std::milli> elapsed =
            std::chrono::steady_clock::now() - start;
        fastest = std::min(fastest, elapsed.count() / kUploadsPerRound);
    }
    return fastest;
}

const char* transferName(GLPixelTransfer transfer) {
    switch (transfer) {
        case GLPixelTransfer::BgraReversed:
            return "GL_BGRA + GL_UNSIGNED_INT_8_8_8_8_REV";
        case GLPixelTransfer::BgraExt:
            return "GL_BGRA_EXT + GL_UNSIGNED_BYTE";
        case GLPixelTransfer::SwizzleToRgba:
            return "CPU red/blue swap + GL_RGBA";
    }
    return "?";
}

void report(const char* what, double milliseconds, double baseline) {
    std::printf("  %-44s %6.3f ms  %5.2fx\n", what, milliseconds, milliseconds / baseline);
}

bool benchmark(UnityGfxRenderer renderer, const std::vector<uint8_t>& picture) {
    std::string whyNot;
    const auto context = headlessgl::EglContext::create(renderer, &whyNot);
    if (!context) {
        std::fprintf(stderr, "%s: %s\n", headlessgl::rendererName(renderer).c_str(),
                     whyNot.c_str());
        return false;
    }
    std::unique_ptr<RenderAPI> backend(CreateRenderAPI(renderer));
    backend->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, nullptr);
    const GLUploadCapabilities chosen =
        dynamic_cast<RenderAPI_OpenGLCoreES&>(*backend).textureUploader()->capabilities();
    std::printf("%s (%s), %dx%d BGRA, fastest of %d rounds of %d uploads\n",
                headlessgl::rendererName(renderer).c_str(),
                reinterpret_cast<const char*>(glGetString(GL_RENDERER)), kWidth, kHeight, kRounds,
                kUploadsPerRound);

    const GLuint rgbaTexture = makeTexture(GL_RGBA, GL_RGBA);
    const double baseline = millisecondsPerUpload([&] {
        glBindTexture(GL_TEXTURE_2D, rgbaTexture);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE,
                        picture.data());
    });
    report("bare glTexSubImage2D GL_RGBA (baseline)", baseline, baseline);

    const GLuint hostTexture = makeHostTexture(chosen.transfer);
    void* handle = reinterpret_cast<void*>(uintptr_t{hostTexture});
    void* pixels = const_cast<uint8_t*>(picture.data());
    const double renderEvent = millisecondsPerUpload([&] {
        backend->BeginModifyTexture2();
        backend->EndModifyTexture2(handle, kWidth, kHeight, kRowPitch, pixels);
    });
    report((std::string("render event, chosen: ") + transferName(chosen.transfer)).c_str(),
           renderEvent, baseline);

    std::vector<GLPixelTransfer> alternatives = {GLPixelTransfer::SwizzleToRgba};
    if (chosen.transfer == GLPixelTransfer::BgraReversed) {
        const double bgraBytes = millisecondsPerUpload([&] {
            glBindTexture(GL_TEXTURE_2D, hostTexture);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWidth, kHeight, GL_BGRA, GL_UNSIGNED_BYTE,
                            picture.data());
        });
        report("alternative: bare GL_BGRA + GL_UNSIGNED_BYTE", bgraBytes, baseline);
    }
    for (GLPixelTransfer transfer : alternatives) {
        if (transfer == chosen.transfer) {
            continue;
        }
        GLUploadCapabilities capabilities = chosen;
        capabilities.transfer = transfer;
        GLTextureUploader uploader(capabilities);
        const GLuint texture = makeHostTexture(transfer);
        const double milliseconds = millisecondsPerUpload(
            [&] { uploader.upload(texture, kWidth, kHeight, kRowPitch, picture.data()); });
        report((std::string("alternative: ") + transferName(transfer)).c_str(), milliseconds,
               baseline);
        glDeleteTextures(1, &texture);
    }
    glDeleteTextures(1, &hostTexture);
    glDeleteTextures(1, &rgbaTexture);
    return glGetError() == GL_NO_ERROR;
}

}  // namespace

// Mesa gives a process OpenGL ES contexts of one version only, so each context is measured by a
// run of its own: "OpenGLCore", "OpenGLES30" or "OpenGLES20"; with no argument, all three.
int main(int argc, char** argv) {
    const UnityGfxRenderer renderers[] = {kUnityGfxRendererOpenGLCore, kUnityGfxRendererOpenGLES30,
                                          kUnityGfxRendererOpenGLES20};
    if (argc < 2) {
        int failures = 0;
        for (const UnityGfxRenderer renderer : renderers) {
            const std::string command =
                "'" + std::string(argv[0]) + "' " + headlessgl::rendererName(renderer);
            std::fflush(stdout);
            failures += std::system(command.c_str()) != 0;
        }
        return failures == 0 ? 0 : 1;
    }
    const std::vector<uint8_t> picture = syntheticPicture();
    for (const UnityGfxRenderer renderer : renderers) {
        if (headlessgl::rendererName(renderer) == argv[1]) {
            return benchmark(renderer, picture) ? 0 : 1;
        }
    }
    std::fprintf(stderr, "usage: %s [OpenGLCore|OpenGLES30|OpenGLES20]\n", argv[0]);
    return 2;
}
