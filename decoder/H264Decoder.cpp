#include "H264Decoder.h"

#include "H264DecoderDelegateHelper.h"
#include "H264HwDecoderImpl.h"
#include "JsonFields.h"
#include "NalUnits.h"
#include "StatisticsJson.h"
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

// Stops that a decode thread finishes on its own, counted so that the library does not go
// before they are done.
class HandedOffStops {
  public:
    HandedOffStops() = default;
    // The library goes: the stops in progress finish first.
    ~HandedOffStops() { waitUntilNone(); }
    HandedOffStops(const HandedOffStops&) = delete;
    HandedOffStops& operator=(const HandedOffStops&) = delete;

    void started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    void finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        done_.notify_all();
    }
    void waitUntilNone() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return running_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    int running_ = 0;
};

HandedOffStops& handedOffStops() {
    static HandedOffStops stops;
    return stops;
}

// How many host callbacks this thread is inside.
thread_local int t_hostCallbackDepth = 0;

class HostCallbackScope {
  public:
    HostCallbackScope() { ++t_hostCallbackDepth; }
    ~HostCallbackScope() { --t_hostCallbackDepth; }
    HostCallbackScope(const HostCallbackScope&) = delete;
    HostCallbackScope& operator=(const HostCallbackScope&) = delete;
};

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
    sample->committedAt = DecodeStatistics::Clock::now();
    try {
        sample->randomAccess = nalunits::isRandomAccessUnit(sample->data.get(), size, h265);
    } catch (...) {
        // Out of memory while reading its SEI: taken for a unit decoding cannot start at.
    }
    return sample;
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
    session = H264HwDecoderImpl::createHandler(sessionKey);
    statistics = session->statistics();
    statistics->setH265(isH265);
    session->setDelegate(delegateHelper);
    session->SetH265(isH265);
    try {
        startDecodeThread();
    } catch (...) {
        // The helper must not outlive this half-built instance as the session's delegate.
        endSession();
        throw;
    }
}

H264Decoder::~H264Decoder() {
    stopDecodeThread();
    endSession();
    hostCallback.store(nullptr);
}

void H264Decoder::stop(std::shared_ptr<H264Decoder> instance) noexcept {
    if (!instance) {
        return;
    }
    if (t_hostCallbackDepth > 0) {
        H264Decoder* const stopping = instance.get();
        stopping->handOffStop(std::move(instance));
        return;
    }
    instance->stopDecodeThread();
    instance->endSession();
}

void H264Decoder::waitForHandedOffStops() noexcept {
    handedOffStops().waitUntilNone();
}

// The decode thread is told to stop and given the instance; it ends the session and lets go of
// the instance once its current unit is done (finishHandedOffStop). All of it happens under the
// queue lock: once the lock is released, the decode thread may end the instance at any moment.
void H264Decoder::handOffStop(std::shared_ptr<H264Decoder> self) noexcept {
    handedOffStops().started();
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!threadStarted) {
        handedOffStops().finished();
        return;
    }
    running.store(false);
    sampleQueue.clear();
    queuedBytes = 0;
    decodeThread->detach();
    threadStarted = false;
    stoppingSelf = std::move(self);
    queueChanged.notify_all();
}

void H264Decoder::finishHandedOffStop() noexcept {
    std::shared_ptr<H264Decoder> self;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        self = std::move(stoppingSelf);
    }
    if (!self) {
        return;
    }
    endSession();
    self.reset();  // the instance may end here: nothing of it is used after this
    handedOffStops().finished();
}

void H264Decoder::endSession() noexcept {
    if (!session) {
        return;
    }
    session->setDelegate(nullptr);
    H264HwDecoderImpl::releaseHandler(sessionKey, session.get());
    session.reset();
}

void H264Decoder::startDecodeThread() {
    threadStarted = true;
    running.store(true);
    try {
        decodeThread = std::make_unique<std::thread>([this] {
            runDecoderLoop();
            finishHandedOffStop();
        });
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
    statistics->unitCommitted();
    try {
        // Declared before the lock, so that dropped units are freed after it is released.
        SampleList dropped;
        std::lock_guard<std::mutex> lock(queueMutex);
        enqueue(std::move(sample), dropped);
        statistics->setQueued(sampleQueue.size());
    } catch (...) {
        // Out of memory while making room: the unit is lost like one the backlog dropped.
        statistics->dropped(DecodeStatistics::Drop::QueueFull);
    }
    queueChanged.notify_one();
}

void H264Decoder::enqueue(std::unique_ptr<_IMFSample> sample, SampleList& dropped) {
    if (awaitingRandomAccess) {
        if (!sample->randomAccess) {
            dropped.push_back(std::move(sample));
            statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
            return;
        }
        awaitingRandomAccess = false;
        sample->followsLoss = true;
    }
    if (exceedsBacklog(*sample) && !cutBacklogToRandomAccess(*sample, dropped)) {
        dropBacklog(dropped);
        if (!sample->randomAccess) {
            awaitingRandomAccess = true;
            statistics->startWaitingForKeyframe();
            dropped.push_back(std::move(sample));
        } else {
            sample->followsLoss = true;
        }
    }
    if (!dropped.empty()) {
        statistics->dropped(DecodeStatistics::Drop::QueueFull, dropped.size());
    }
    if (!sample) {
        return;
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
    statistics->setQueued(sampleQueue.size());
    return sample;
}

void H264Decoder::decodeSample(const _IMFSample& sample) noexcept {
    try {
        if (sample.followsLoss) {
            session->DiscardUntilRandomAccess();
        }
        statistics->unitEntersDecode(int64_t(sample.pts), sample.committedAt);
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
        const HostCallbackScope inCallback;
        callback(&decoderId, info.c_str());
    } catch (...) {
        // Running on a decode thread: nothing may escape into the platform or the host.
    }
}

bool H264Decoder::setNativeTexturePointer(void* texture, const std::string& textureJson) {
    std::shared_ptr<FrameBuffers> replaced;  // freed once the texture state is released
    if (texture == nullptr) {
        std::lock_guard<std::mutex> lock(*texCfg.texMutex);
        replaced = std::move(texCfg.frameBuffers);
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
    // and pictures are not held up while the buffers are filled.
    std::shared_ptr<FrameBuffers> buffers = FrameBuffers::create(*size);
    if (!buffers) {
        return true;
    }
    std::lock_guard<std::mutex> lock(*texCfg.texMutex);
    texCfg.width = description->width;
    texCfg.height = description->height;
    texCfg.mipMap = description->mipMap;
    texCfg.format = _COLORSPACE(description->format);
    texCfg.nativeTexture = texture;
    replaced = std::move(texCfg.frameBuffers);
    texCfg.frameBuffers = std::move(buffers);
    texCfg.textureBound = true;
    return true;
}

void H264Decoder::copyRenderData(const uint8_t* data, int32_t format, int32_t, int32_t height,
                                 int32_t bytesPerRow, int32_t, int32_t, int32_t, int32_t) noexcept {
    if (data == nullptr) {
        return;
    }
    std::shared_ptr<FrameBuffers> buffers;
    {
        std::lock_guard<std::mutex> lock(*texCfg.texMutex);
        if (!texCfg.textureBound) {
            statistics->dropped(DecodeStatistics::Drop::NoTexture);
            return;
        }
        // Rows of whole pixels exactly as wide as the texture: the picture then fills the frame
        // buffer exactly, padding included, and never runs past it.
        const bool matches = int64_t(bytesPerRow) == int64_t(texCfg.width) * 4 &&
                             height == texCfg.height && format == texCfg.format;
        if (!matches) {
            statistics->dropped(DecodeStatistics::Drop::SizeMismatch);
            return;
        }
        buffers = texCfg.frameBuffers;
    }
    // The written buffer is this thread's alone: the copy runs without the lock.
    uint8_t* const target = buffers->writable();
    if (target == nullptr) {
        return;  // out of memory: this picture is not shown
    }
    std::memcpy(target, data, buffers->size());
    std::lock_guard<std::mutex> lock(*texCfg.texMutex);
    if (texCfg.frameBuffers != buffers) {
        // Bound anew meanwhile: the picture belongs to a texture that is gone.
        statistics->dropped(DecodeStatistics::Drop::NoTexture);
        return;
    }
    statistics->pictureDelivered();
    if (buffers->publish()) {
        statistics->dropped(DecodeStatistics::Drop::TextureBusy);
    }
}

std::optional<H264Decoder::PictureUpload> H264Decoder::takePictureUpload() noexcept {
    std::unique_lock<std::mutex> lock(*texCfg.texMutex, std::try_to_lock);
    if (!lock.owns_lock() || !texCfg.textureBound) {
        return std::nullopt;
    }
    const uint8_t* pixels = texCfg.frameBuffers->takeNewest();
    if (pixels == nullptr) {
        return std::nullopt;
    }
    if (texCfg.frameBuffers->holdsPictures()) {
        statistics->pictureUploaded();
    }
    return PictureUpload{texCfg.frameBuffers, pixels, texCfg.nativeTexture, texCfg.width,
                         texCfg.height};
}

std::string H264Decoder::statisticsJson() const {
    return ::statisticsJson(statistics->snapshot());
}
