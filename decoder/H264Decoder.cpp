#include "H264Decoder.h"

#include "H264DecoderDelegateHelper.h"
#include "H264HwDecoderImpl.h"
#include "JsonFields.h"
#include "NalUnits.h"
#include "UtfConversion.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>

namespace {

constexpr uint32_t kMaxSampleSize = uint32_t(std::numeric_limits<int32_t>::max());
constexpr int64_t kMaxFrameBufferSize = std::numeric_limits<int32_t>::max();
constexpr int32_t kHighestFormat = 2;
constexpr size_t kMaxQueuedUnits = H264_DECODER_MAX_QUEUED_UNITS;
constexpr size_t kMaxQueuedBytes = H264_DECODER_MAX_QUEUED_BYTES;
constexpr uint8_t kOpaqueBlack[4] = {0, 0, 0, 255};

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

// A private copy of a committed unit; null when memory runs out.
std::unique_ptr<H264Decoder::_IMFSample> copySample(const uint8_t* bytes, uint32_t size,
                                                    uint32_t pts, bool h265) {
    std::unique_ptr<H264Decoder::_IMFSample> sample(new (std::nothrow) H264Decoder::_IMFSample);
    if (!sample) {
        return nullptr;
    }
    sample->data.reset(new (std::nothrow) uint8_t[size]);
    if (!sample->data) {
        return nullptr;
    }
    if (size > 0) {
        std::memcpy(sample->data.get(), bytes, size);
    }
    sample->length = int32_t(size);
    sample->pts = pts;
    try {
        sample->randomAccess = nalunits::isRandomAccessUnit(sample->data.get(), size, h265);
    } catch (...) {
        // Out of memory while reading its SEI: taken for a unit decoding cannot start at.
    }
    return sample;
}

// Opaque black BGRA pixels: what a bound texture shows until the first picture.
void fillOpaqueBlack(uint8_t* pixels, size_t size) {
    if (size < sizeof kOpaqueBlack) {
        return;
    }
    std::memcpy(pixels, kOpaqueBlack, sizeof kOpaqueBlack);
    for (size_t filled = sizeof kOpaqueBlack; filled < size;) {
        const size_t chunk = std::min(filled, size - filled);
        std::memcpy(pixels + filled, pixels, chunk);
        filled += chunk;
    }
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
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        running.store(false);
    }
    queueChanged.notify_all();
    decodeThread->join();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        sampleQueue.clear();
        queuedBytes = 0;
    }
    decodeThread.reset();
    threadStarted = false;
}

void H264Decoder::decodeFrame(const uint8_t* data, uint32_t, uint32_t offset, uint32_t size,
                              uint32_t pts) noexcept {
    if (size > kMaxSampleSize || (data == nullptr && size > 0)) {
        return;
    }
    std::unique_ptr<_IMFSample> sample =
        copySample(size > 0 ? data + offset : nullptr, size, pts, isH265);
    if (!sample) {
        return;
    }
    try {
        // Declared before the lock, so that dropped units are freed after it is released.
        SampleList dropped;
        std::lock_guard<std::mutex> lock(queueMutex);
        enqueue(std::move(sample), dropped);
    } catch (...) {
        // Out of memory while making room: the unit is lost like one the backlog dropped.
    }
    queueChanged.notify_one();
}

void H264Decoder::enqueue(std::unique_ptr<_IMFSample> sample, SampleList& dropped) {
    if (awaitingRandomAccess) {
        if (!sample->randomAccess) {
            dropped.push_back(std::move(sample));
            return;
        }
        awaitingRandomAccess = false;
        sample->followsLoss = true;
    }
    if (exceedsBacklog(*sample) && !cutBacklogToRandomAccess(*sample, dropped)) {
        dropBacklog(dropped);
        if (!sample->randomAccess) {
            awaitingRandomAccess = true;
            dropped.push_back(std::move(sample));
            return;
        }
        sample->followsLoss = true;
    }
    queuedBytes += size_t(sample->length);
    sampleQueue.push_back(std::move(sample));
}

bool H264Decoder::exceedsBacklog(const _IMFSample& next) const {
    return sampleQueue.size() + 1 > kMaxQueuedUnits ||
           queuedBytes + size_t(next.length) > kMaxQueuedBytes;
}

// Drops the units before the newest queued random-access unit, when that makes room for `next`.
bool H264Decoder::cutBacklogToRandomAccess(const _IMFSample& next, SampleList& dropped) {
    if (next.randomAccess) {
        return false;  // the new unit is the newest random-access unit: nothing before it stays
    }
    size_t keptBytes = 0;
    auto newest = sampleQueue.end();
    while (newest != sampleQueue.begin()) {
        --newest;
        keptBytes += size_t((*newest)->length);
        if ((*newest)->randomAccess) {
            break;
        }
    }
    const size_t keptUnits = size_t(sampleQueue.end() - newest);
    const bool makesRoom = newest != sampleQueue.begin() && (*newest)->randomAccess &&
                           keptUnits + 1 <= kMaxQueuedUnits &&
                           keptBytes + size_t(next.length) <= kMaxQueuedBytes;
    if (!makesRoom) {
        return false;
    }
    std::move(sampleQueue.begin(), newest, std::back_inserter(dropped));
    sampleQueue.erase(sampleQueue.begin(), newest);
    queuedBytes = keptBytes;
    sampleQueue.front()->followsLoss = true;
    return true;
}

void H264Decoder::dropBacklog(SampleList& dropped) {
    std::move(sampleQueue.begin(), sampleQueue.end(), std::back_inserter(dropped));
    sampleQueue.clear();
    queuedBytes = 0;
}

void H264Decoder::runDecoderLoop() noexcept {
    for (;;) {
        std::unique_ptr<_IMFSample> sample;
        try {
            sample = waitForSample();
        } catch (...) {
            return;  // the queue's lock failed: the thread ends as on a stop
        }
        if (!sample) {
            return;
        }
        decodeSample(*sample);
    }
}

// The oldest queued sample, once there is one; null once the instance stops.
std::unique_ptr<H264Decoder::_IMFSample> H264Decoder::waitForSample() {
    std::unique_lock<std::mutex> lock(queueMutex);
    queueChanged.wait(lock, [this] { return !running.load() || !sampleQueue.empty(); });
    if (!running.load()) {
        return nullptr;
    }
    std::unique_ptr<_IMFSample> sample = std::move(sampleQueue.front());
    sampleQueue.pop_front();
    queuedBytes -= size_t(sample->length);
    return sample;
}

void H264Decoder::decodeSample(const _IMFSample& sample) noexcept {
    try {
        const std::shared_ptr<H264HwDecoderImpl> session = sessionFor(sessionKey);
        if (sample.followsLoss) {
            session->DiscardUntilRandomAccess();
        }
        session->DecodeNALUs(sample.data.get(), sample.length, double(sample.pts));
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
    if (texture == nullptr) {
        std::lock_guard<std::mutex> lock(*texCfg.texMutex);
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
    // Made before the texture state is taken, so that a failure leaves the binding as it was
    // and pictures are not held up while the buffer is filled.
    std::unique_ptr<uint8_t[]> frameBuffer(new (std::nothrow) uint8_t[*size]);
    if (!frameBuffer) {
        return true;
    }
    fillOpaqueBlack(frameBuffer.get(), *size);
    std::lock_guard<std::mutex> lock(*texCfg.texMutex);
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
