// Driving the exported functions as a host does, with UTF-8 texts in the tests, and looking at an
// instance's texture state the way the render event does.
#pragma once

#include "DecoderRegistry.h"
#include "DecoderTestSupport.h"
#include "H264DecoderPlugin.h"
#include "RenderAPI.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace hosttest {

// A render backend that does nothing; tests override what they watch.
class NullBackend : public RenderAPI {
  public:
    void ProcessDeviceEvent(UnityGfxDeviceEventType, IUnityInterfaces*) override {}
    bool GetUsesReverseZ() override { return false; }
    void DrawSimpleTriangles(const float*, int, const void*) override {}
    void* BeginModifyTexture(void*, int, int, int*) override { return nullptr; }
    void EndModifyTexture(void*, int, int, int, void*) override {}
    void BeginModifyTexture2() override {}
    void EndModifyTexture2(void*, int, int, int, void*) override {}
    void* BeginModifyVertexBuffer(void*, uint64_t*) override { return nullptr; }
    void EndModifyVertexBuffer(void*) override {}
};

inline bool start(uint8_t decoderId, const std::string& configJson) {
    return H264Decoder_start(decoderId, decodertest::utf16(configJson).c_str());
}

inline bool bind(uint8_t decoderId, void* texture, const std::string& textureJson) {
    return H264Decoder_setNativeTexturePointer(decoderId, texture,
                                               decodertest::utf16(textureJson).c_str());
}

inline bool commit(uint8_t decoderId, const std::vector<uint8_t>& accessUnit, uint32_t pts = 0) {
    return H264Decoder_commitFrame(decoderId, accessUnit.data(), 0, 0, uint32_t(accessUnit.size()),
                                   pts);
}

inline std::string textureDescription(int width, int height) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"mipMap\":false,\"format\":0}";
}

// The figures H264Decoder_getStatistics reports for a running instance.
inline decodertest::Statistics statisticsOf(uint8_t decoderId) {
    H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY];
    const bool written =
        H264Decoder_getStatistics(decoderId, text, H264_DECODER_STATISTICS_CAPACITY);
    EXPECT_TRUE(written) << "statistics of instance " << int(decoderId);
    return decodertest::Statistics(written ? decodertest::utf8(text) : "{}");
}

struct TextureSnapshot {
    bool bound = false;
    void* nativeTexture = nullptr;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> frameBuffer;
};

// The texture state of a running instance, read under the registry and texture locks.
inline std::optional<TextureSnapshot> snapshotTexture(uint8_t decoderId) {
    std::lock_guard<std::mutex> registryLock(h264_execMutex);
    const auto entry = h264_execs.find(decoderId);
    if (entry == h264_execs.end() || !entry->second) {
        return std::nullopt;
    }
    H264Decoder::ITexCfg& state = entry->second->texCfg;
    std::lock_guard<std::mutex> textureLock(*state.texMutex);
    TextureSnapshot snapshot{
        state.textureBound, state.nativeTexture, state.width, state.height, {}};
    if (state.frameBuffers) {
        const uint8_t* bytes = state.frameBuffers->newest();
        snapshot.frameBuffer.assign(bytes, bytes + state.frameBuffers->size());
    }
    return snapshot;
}

inline void fillFrameBuffer(uint8_t decoderId, uint8_t value) {
    std::lock_guard<std::mutex> registryLock(h264_execMutex);
    H264Decoder::ITexCfg& state = h264_execs.at(decoderId)->texCfg;
    std::lock_guard<std::mutex> textureLock(*state.texMutex);
    std::memset(const_cast<uint8_t*>(state.frameBuffers->newest()), value,
                state.frameBuffers->size());
}

}  // namespace hosttest
