#include "H264Decoder.h"

#include "H264DecoderDelegateHelper.h"
#include "H264HwDecoderImpl.h"
#include "JsonFields.h"
#include "UtfConversion.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

namespace {

constexpr uint32_t kMaxSampleSize = uint32_t(std::numeric_limits<int32_t>::max());
constexpr int64_t kMaxFrameBufferSize = std::numeric_limits<int32_t>::max();
constexpr int32_t kHighestFormat = 2;
constexpr std::chrono::milliseconds kIdleSleep{1};

std::shared_ptr<H264HwDecoderImpl> sessionFor(const std::string& key) {
    return H264HwDecoderImpl::sharedHandler(key);
}

void logConstruction(const std::string& configJson) {
    const std::string line = "=== H264Decoder Constructor: " + configJson + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

struct TextureDescription {
    int32_t width = 0;
    int32_t height = 0;
    bool mipMap = false;
    int32_t format = kColorspaceBGRA32;
};

// The description, or no value when a member is an integer beyond 32 bits.
std::optional<TextureDescription> readTextureDescription(const std::string& textureJson) {
    const jsonfields::JsonObject json(textureJson);
    const std::optional<int32_t> width = jsonfields::readInt32(json.root(), "width", 0);
    const std::optional<int32_t> height = jsonfields::readInt32(json.root(), "height", 0);
    const std::optional<int32_t> format =
        jsonfields::readInt32(json.root(), "format", kColorspaceBGRA32);
    if (!width || !height || !format) {
        return std::nullopt;
    }
    return TextureDescription{*width, *height, jsonfields::readLiteralTrue(json.root(), "mipMap"),
                              *format};
}

// The frame buffer size of a description the texture state can hold.
std::optional<size_t> frameBufferSize(const TextureDescription& description) {
    if (description.width < 0 || description.height < 0) {
        return std::nullopt;
    }
    const int64_t size = int64_t(description.width) * description.height * 4;
    if (size > kMaxFrameBufferSize) {
        return std::nullopt;
    }
    return size_t(size);
}

std::string textureInfoJson(int32_t width, int32_t height) {
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.StartObject();
    writer.Key("width");
    writer.Int(width);
    writer.Key("height");
    writer.Int(height);
    writer.Key("format");
    writer.Int(kColorspaceBGRA32);
    writer.Key("linear");
    writer.Bool(true);
    writer.Key("mipMap");
    writer.Bool(false);
    writer.EndObject();
    return std::string(text.GetString(), text.GetSize());
}

}  // namespace

H264Decoder::H264Decoder(uint8_t id, const std::string& configJson)
    : decoderId(id), sessionKey(std::to_string(unsigned(id))) {
    texCfg.texMutex = std::make_unique<std::mutex>();
    const jsonfields::JsonObject config(configJson);
    logConstruction(configJson);
    isH265 = jsonfields::readLiteralTrue(config.root(), "isH265");
    const std::optional<int32_t> delay =
        jsonfields::readInt32(config.root(), "videoDelayTimeInMs", 0);
    videoDelayTimeInMs = delay && *delay >= 0 ? *delay : 0;

    delegateHelper = std::make_shared<H264DecoderDelegateHelper>(this);
    const std::shared_ptr<H264HwDecoderImpl> session = sessionFor(sessionKey);
    session->setDelegate(delegateHelper);
    session->SetH265(isH265);
    try {
        startDecodeThread();
    } catch (...) {
        // The helper must not outlive this half-built instance as the session's delegate.
        session->setDelegate(nullptr);
        throw;
    }
}

H264Decoder::~H264Decoder() {
    stopDecodeThread();
    try {
        sessionFor(sessionKey)->Reset();
    } catch (...) {
        // The session keeps its parameter sets; the next instance's stream replaces them.
    }
    hostCallback.store(nullptr);
}

void H264Decoder::startDecodeThread() {
    threadStarted = true;
    running.store(true);
    try {
        decodeThread = std::make_unique<std::thread>(&H264Decoder::runDecoderLoop, this);
    } catch (...) {
        running.store(false);
        threadStarted = false;
        throw;
    }
}

void H264Decoder::stopDecodeThread() noexcept {
    if (!threadStarted) {
        return;
    }
    running.store(false);
    decodeThread->join();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        sampleQueue.clear();
        queuedSamples.store(0);
    }
    decodeThread.reset();
    threadStarted = false;
}

void H264Decoder::decodeFrame(const uint8_t* data, uint32_t reserved, uint32_t offset,
                              uint32_t size, uint32_t pts) noexcept {
    if (size > kMaxSampleSize || (data == nullptr && size > 0)) {
        return;
    }
    std::unique_lock<std::mutex> lock(queueMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;
    }
    std::unique_ptr<_IMFSample> sample(new (std::nothrow) _IMFSample);
    if (!sample) {
        return;
    }
    sample->data.reset(new (std::nothrow) uint8_t[size]);
    if (!sample->data) {
        return;
    }
    if (size > 0) {
        std::memcpy(sample->data.get(), data + offset, size);
    }
    sample->length = int32_t(size);
    sample->pts = pts;
    try {
        sampleQueue.push_back(std::move(sample));
    } catch (...) {
        return;
    }
    queuedSamples.fetch_add(1);
}

void H264Decoder::runDecoderLoop() noexcept {
    while (running.load()) {
        if (queuedSamples.load() == 0) {
            std::this_thread::sleep_for(kIdleSleep);
            continue;
        }
        const std::unique_ptr<_IMFSample> sample = takeOldestSample();
        decodeSample(*sample);
    }
}

std::unique_ptr<H264Decoder::_IMFSample> H264Decoder::takeOldestSample() {
    std::lock_guard<std::mutex> lock(queueMutex);
    std::unique_ptr<_IMFSample> sample = std::move(sampleQueue.front());
    sampleQueue.pop_front();
    queuedSamples.fetch_sub(1);
    return sample;
}

void H264Decoder::decodeSample(const _IMFSample& sample) noexcept {
    try {
        sessionFor(sessionKey)->DecodeNALUs(sample.data.get(), sample.length, double(sample.pts));
    } catch (...) {
        // A sample the session could not take is lost like any undecodable one.
    }
}

bool H264Decoder::registerCallback(H264DecoderTextureInfoCallback callback) noexcept {
    H264DecoderTextureInfoCallback none = nullptr;
    return hostCallback.compare_exchange_strong(none, callback);
}

bool H264Decoder::unregisterCallback() noexcept {
    return hostCallback.exchange(nullptr) != nullptr;
}

void H264Decoder::forwardTextureInfo(int32_t width, int32_t height) noexcept {
    const H264DecoderTextureInfoCallback callback = hostCallback.load();
    if (callback == nullptr) {
        return;
    }
    try {
        const std::u16string info =
            convertUTFFormat8toV<char, char16_t>(textureInfoJson(width, height));
        callback(&decoderId, info.c_str());
    } catch (...) {
        // Running on a decode thread: nothing may escape into the platform or the host.
    }
}

bool H264Decoder::setNativeTexturePointer(void* texture, const std::string& textureJson) {
    std::lock_guard<std::mutex> lock(*texCfg.texMutex);
    if (texture == nullptr) {
        texCfg.frameBuffer.reset();
        texCfg.nativeTexture = nullptr;
        texCfg.textureBound = false;
        return true;
    }
    const std::optional<TextureDescription> description = readTextureDescription(textureJson);
    if (!description || description->format > kHighestFormat) {
        return true;
    }
    const std::optional<size_t> size = frameBufferSize(*description);
    if (!size) {
        return true;
    }
    // Allocated before anything changes, so that a failure leaves the binding as it was.
    std::unique_ptr<uint8_t[]> frameBuffer(new (std::nothrow) uint8_t[*size]);
    if (!frameBuffer) {
        return true;
    }
    texCfg.width = description->width;
    texCfg.height = description->height;
    texCfg.mipMap = description->mipMap;
    texCfg.format = _COLORSPACE(description->format);
    texCfg.nativeTexture = texture;
    texCfg.frameBuffer = std::move(frameBuffer);
    texCfg.textureBound = true;
    return true;
}

void H264Decoder::copyRenderData(const uint8_t* data, int32_t format, int32_t width, int32_t height,
                                 int32_t bytesPerRow, int32_t, int32_t, int32_t, int32_t) noexcept {
    std::unique_lock<std::mutex> lock(*texCfg.texMutex, std::try_to_lock);
    if (!lock.owns_lock() || !texCfg.frameBuffer || data == nullptr) {
        return;
    }
    // Rows of whole pixels exactly as wide as the texture: the picture then fills the frame
    // buffer exactly, padding included, and never runs past it.
    const bool matches = int64_t(bytesPerRow) == int64_t(texCfg.width) * 4 &&
                         height == texCfg.height && format == texCfg.format;
    if (matches) {
        std::memcpy(texCfg.frameBuffer.get(), data, size_t(bytesPerRow) * size_t(height));
    }
}
