// One decoder instance: its compressed-frame queue and decode thread, its decode session, the
// texture state that decoded pictures are copied into, and the host callback that learns the
// texture size.
//
// Thread-safety: decodeFrame, the callback calls and setNativeTexturePointer may come from any
// host thread, also at once, and never wait for a decode or an upload: the queue and the
// texture state are each held only for O(1) work. copyRenderData runs on the session's output
// thread, takePictureUpload on the host's render thread.
#pragma once

#include "DecodeStatistics.h"
#include "FrameBuffers.h"
#include "H264DecoderPlugin.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class H264DecoderDelegateHelper;
class H264HwDecoderImpl;

// Pixel layout of a texture or picture.
enum _COLORSPACE : int32_t { kColorspaceBGRA32 = 0 };

class H264Decoder {
  public:
    // One committed access unit, copied.
    struct _IMFSample {
        std::unique_ptr<uint8_t[]> data;
        int32_t length = 0;
        uint32_t pts = 0;
        bool randomAccess = false;  // decoding can start at this unit
        bool followsLoss = false;   // units before it were dropped
        DecodeStatistics::Clock::time_point committedAt;
    };

    // The bound texture and the frame buffers that the render event uploads into it. Outside
    // construction and destruction every field is used only with *texMutex held, and only for
    // O(1) work; the render thread only ever tries that lock.
    struct ITexCfg {
        std::unique_ptr<std::mutex> texMutex;
        int32_t width = 0;
        int32_t height = 0;
        bool mipMap = false;
        _COLORSPACE format = kColorspaceBGRA32;
        // width * height * 4 bytes each, rows packed; non-null exactly while textureBound. A
        // copy or an upload in progress keeps the buffers it uses past a new binding.
        std::shared_ptr<FrameBuffers> frameBuffers;
        bool textureBound = false;
        void* nativeTexture = nullptr;
    };

    // A picture for the render event to upload; `buffers` keeps `pixels` alive.
    struct PictureUpload {
        std::shared_ptr<FrameBuffers> buffers;
        const uint8_t* pixels = nullptr;
        void* texture = nullptr;
        int32_t width = 0;
        int32_t height = 0;
    };

    // Makes a decode session of its own for `decoderId` (reachable through
    // H264HwDecoderImpl::sharedHandler while the instance runs) and starts the decode thread.
    // Throws when memory or a thread cannot be had; nothing is left running then.
    H264Decoder(uint8_t decoderId, const std::string& configJson);
    // Stops as stop() does, where that has not happened yet.
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // Ends the instance's work: the decode thread after its current unit (the queued ones are
    // discarded), then the decode session with its thread and memory. Called from a host
    // callback, which runs on a thread of this or another instance, it cannot wait for that
    // thread: it only tells the decode thread to stop, and the decode thread ends the rest and
    // lets go of `instance` once the unit in progress is done.
    static void stop(std::shared_ptr<H264Decoder> instance) noexcept;
    // Waits until every stop handed to a decode thread has finished (before the library goes).
    static void waitForHandedOffStops() noexcept;

    // Queues a copy of `size` bytes at `data` + `offset`. Waits only for another thread's
    // short hold of the queue. When the backlog would pass its limits, the queue is cut back to
    // its newest random-access unit, or emptied until the next one arrives.
    void decodeFrame(const uint8_t* data, uint32_t reserved, uint32_t offset, uint32_t size,
                     uint32_t pts) noexcept;

    bool registerCallback(H264DecoderTextureInfoCallback callback) noexcept;
    bool unregisterCallback() noexcept;
    // Tells the host callback, if any, to create a BGRA texture of this size.
    void forwardTextureInfo(int32_t width, int32_t height) noexcept;

    // Binds (or with a null texture unbinds) the host's texture described by `textureJson`.
    bool setNativeTexturePointer(void* texture, const std::string& textureJson);
    // Copies one decoded picture into a frame buffer when the bound texture matches it, and
    // makes it the newest for the render event.
    void copyRenderData(const uint8_t* data, int32_t format, int32_t width, int32_t height,
                        int32_t bytesPerRow, int32_t extraColumnsOnLeft,
                        int32_t extraColumnsOnRight, int32_t extraRowsOnTop,
                        int32_t extraRowsOnBottom) noexcept;
    // For the render event: the newest picture not uploaded yet (or the black of a texture bound
    // since), unless the texture state is held this instant or there is nothing new.
    std::optional<PictureUpload> takePictureUpload() noexcept;
    // The instance's figures as the JSON text of H264Decoder_getStatistics. Any thread; waits
    // for nothing.
    std::string statisticsJson() const;

  private:
    friend class H264DecoderInspector;  // tests look at the configuration and the queue

    using SampleList = std::deque<std::unique_ptr<_IMFSample>>;

    void runDecoderLoop() noexcept;
    std::unique_ptr<_IMFSample> waitForSample();
    void decodeSample(const _IMFSample& sample) noexcept;
    void enqueue(std::unique_ptr<_IMFSample> sample, SampleList& dropped);
    bool exceedsBacklog(const _IMFSample& next) const;
    bool cutBacklogToRandomAccess(const _IMFSample& next, SampleList& dropped);
    void dropBacklog(SampleList& dropped);
    void startDecodeThread();
    void stopDecodeThread() noexcept;
    void handOffStop(std::shared_ptr<H264Decoder> self) noexcept;
    void finishHandedOffStop() noexcept;
    void endSession() noexcept;

    std::shared_ptr<H264DecoderDelegateHelper> delegateHelper;
    // The decode thread's; released by stop.
    std::shared_ptr<H264HwDecoderImpl> session;
    // The session's figures, which the instance adds its own to; kept past the session's end.
    std::shared_ptr<DecodeStatistics> statistics;
    // Written on the host's thread, read on the decode and decode output threads.
    std::atomic<H264DecoderTextureInfoCallback> hostCallback{nullptr};

  public:
    // Read by the render event under the rules of ITexCfg.
    ITexCfg texCfg;

  private:
    const uint8_t decoderId;
    const std::string sessionKey;
    bool isH265 = false;
    int32_t videoDelayTimeInMs = 0;
    bool threadStarted = false;
    std::atomic<bool> running{false};
    std::unique_ptr<std::thread> decodeThread;
    // The queue and its figures, guarded by queueMutex; the decode thread sleeps on
    // queueChanged while the queue is empty.
    SampleList sampleQueue;
    size_t queuedBytes = 0;
    // The backlog dropped units: nothing is queued before the next random-access unit.
    bool awaitingRandomAccess = false;
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    // Set, under queueMutex, by a stop that the decode thread finishes itself.
    std::shared_ptr<H264Decoder> stoppingSelf;
};
