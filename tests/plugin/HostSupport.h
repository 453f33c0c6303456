// Driving the exported functions as a host does, with UTF-8 texts in the tests, and looking at an
// instance's texture state the way the render event does.
#pragma once

#include "AnnexB.h"
#include "DecoderRegistry.h"
#include "DecoderTestSupport.h"
#include "GraphicsDevice.h"
#include "H264DecoderPlugin.h"
#include "Pictures.h"
#include "RenderAPI.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace hosttest {

using decodertest::PictureTap;
using decodertest::textureDescription;
using decodertest::TextureInfoLog;
using testsupport::AccessUnit;

inline int textureHandle = 0;
inline void* const kTexture = &textureHandle;

// A backend that fingerprints every upload, or where set only its left `fingerprintedWidth`
// columns; `duringUpload` may hold an upload up.
class RecordingBackend : public RenderAPI {
  public:
    // Texture, width, height, row pitch and the MD5 of the pixels.
    using Upload = std::tuple<void*, int, int, int, std::string>;

    void ProcessDeviceEvent(UnityGfxDeviceEventType, IUnityInterfaces*) override {}
    bool GetUsesReverseZ() override { return false; }
    void DrawSimpleTriangles(const float*, int, const void*) override {}
    void* BeginModifyTexture(void*, int, int, int*) override { return nullptr; }
    void EndModifyTexture(void*, int, int, int, void*) override {}
    void* BeginModifyVertexBuffer(void*, uint64_t*) override { return nullptr; }
    void EndModifyVertexBuffer(void*) override {}
    void BeginModifyTexture2() override {}
    void EndModifyTexture2(void* texture, int width, int height, int rowPitch,
                           void* data) override {
        if (duringUpload) {
            duringUpload();
        }
        const std::string md5 = testsupport::md5Hex(testsupport::packRows(
            static_cast<const uint8_t*>(data), fingerprintedWidth > 0 ? fingerprintedWidth : width,
            height, rowPitch));
        std::lock_guard<std::mutex> lock(mutex_);
        uploads_.emplace_back(texture, width, height, rowPitch, md5);
    }
    // The uploads since the last take.
    std::vector<Upload> takeUploads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(uploads_, {});
    }

    std::function<void()> duringUpload;
    int fingerprintedWidth = 0;

  private:
    std::mutex mutex_;
    std::vector<Upload> uploads_;
};

// Holds whoever calls it until release(); entered() is ready once someone waits in it.
struct Hold {
    std::promise<void> waiting, released;
    std::shared_future<void> release = released.get_future();
    std::future<void> entered() { return waiting.get_future(); }
    void operator()() {
        waiting.set_value();
        release.wait();
    }
};

inline bool start(uint8_t decoderId, const std::string& configJson) {
    return H264Decoder_start(decoderId, decodertest::utf16(configJson).c_str());
}

inline std::vector<AccessUnit> unitsOf(const std::string& clipName) {
    return testsupport::readAccessUnits(testsupport::fixtureClip(clipName));
}

inline bool bind(uint8_t decoderId, void* texture, const std::string& textureJson) {
    return H264Decoder_setNativeTexturePointer(decoderId, texture,
                                               decodertest::utf16(textureJson).c_str());
}

inline bool commit(uint8_t decoderId, const std::vector<uint8_t>& accessUnit, uint32_t pts = 0) {
    return H264Decoder_commitFrame(decoderId, accessUnit.data(), 0, 0, uint32_t(accessUnit.size()),
                                   pts);
}

// Whether an instance runs under the id: only a running one answers a commit of nothing.
inline bool running(uint8_t decoderId) {
    return H264Decoder_commitFrame(decoderId, nullptr, 0, 0, 0, 0);
}

// The figures H264Decoder_getStatistics reports for a running instance.
inline decodertest::Statistics statisticsOf(uint8_t decoderId) {
    H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY] = u"{}";  // where none is written
    EXPECT_TRUE(H264Decoder_getStatistics(decoderId, text, H264_DECODER_STATISTICS_CAPACITY))
        << "statistics of instance " << int(decoderId);
    return decodertest::Statistics(decodertest::utf8(text));
}

// What a new binding shows until its first picture.
inline std::vector<uint8_t> opaqueBlack(int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4, 0);
    for (size_t alpha = 3; alpha < pixels.size(); alpha += 4) {
        pixels[alpha] = 255;
    }
    return pixels;
}

// The binding of a running instance and what its frame buffer shows, read under the registry
// and texture locks; nothing for an id that runs no instance.
struct TextureSnapshot {
    void* nativeTexture;
    std::vector<uint8_t> frameBuffer;
};
inline std::optional<TextureSnapshot> snapshotTexture(uint8_t decoderId) {
    std::lock_guard<std::mutex> registryLock(h264_execMutex);
    const auto entry = h264_execs.find(decoderId);
    if (entry == h264_execs.end() || !entry->second) {
        return std::nullopt;
    }
    H264Decoder::ITexCfg& state = entry->second->texCfg;
    std::lock_guard<std::mutex> textureLock(*state.texMutex);
    const uint8_t* pixels = state.frameBuffers ? state.frameBuffers->newest() : nullptr;
    return TextureSnapshot{state.nativeTexture,
                           {pixels, pixels + (pixels ? state.frameBuffers->size() : 0)}};
}

}  // namespace hosttest
