// The thread of one decompression session: takes queued samples in order, decodes them and calls
// the session's output callback, and lets callers wait until given work is done.
#pragma once

#include "VideoDecoder.h"

#include <VideoToolbox/VideoToolbox.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace compat {

class DecompressionWorker : public std::enable_shared_from_this<DecompressionWorker> {
  public:
    // Starts the thread; the worker lives until the thread and its owner both let go.
    static std::shared_ptr<DecompressionWorker> start(std::unique_ptr<VideoDecoder> decoder,
                                                      VTDecompressionOutputCallbackRecord output);
    ~DecompressionWorker();

    // Queues a sample (retained until decoded); false once the worker stops taking work.
    bool submit(CMSampleBufferRef sample, VTDecodeFrameFlags flags, void* sourceFrameRefCon);
    // Queues a drain of the pictures held for reordering; false once stopped taking work.
    bool submitDrain();
    // Blocks until the work queued before the call is done. Returns at once on the worker thread.
    void waitForQueuedWork();
    // Drains, stops taking work and ends the thread after what is queued.
    void finishAndStop();
    // Drops what is queued, ends the thread after the current sample.
    void discardAndStop();

  private:
    struct Job {
        CMSampleBufferRef sample = nullptr;  // null: drain
        VTDecodeFrameFlags flags = 0;
        void* sourceFrameRefCon = nullptr;
    };
    // What the callback of a picture needs from its sample.
    struct PendingSample {
        VTDecodeFrameFlags flags = 0;
        void* sourceFrameRefCon = nullptr;
        CMTime presentationTimeStamp = kCMTimeInvalid;
        CMTime duration = kCMTimeInvalid;
    };

    DecompressionWorker(std::unique_ptr<VideoDecoder> decoder,
                        VTDecompressionOutputCallbackRecord output);
    bool enqueue(const Job& job);
    void run();
    void process(const Job& job);
    void decodeSample(const Job& job);
    void drain();
    void deliver(int64_t tag, CVPixelBufferRef picture, VideoDecoder::Outcome outcome);
    void fail(const PendingSample& sample);
    void emit(const PendingSample& sample, OSStatus status, CVPixelBufferRef picture);
    void stop(bool discard);

    const VTDecompressionOutputCallbackRecord output_;
    std::unique_ptr<VideoDecoder> decoder_;     // worker thread only
    std::map<int64_t, PendingSample> pending_;  // worker thread only: samples by tag
    int64_t nextTag_ = 0;                       // worker thread only

    std::mutex mutex_;
    std::condition_variable workReady_;
    std::condition_variable workDone_;
    std::deque<Job> jobs_;
    uint64_t queuedCount_ = 0;
    uint64_t doneCount_ = 0;
    bool accepting_ = true;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace compat
