#include "DecompressionWorker.h"

#include <utility>

namespace compat {

namespace {

// More samples than any decoder holds for reordering (a decoded picture buffer has at most 16
// pictures): the oldest of them did not decode.
constexpr size_t kMaxHeldSamples = 32;

// The sample's bytes as one contiguous range, or an empty range when it has none.
std::pair<const uint8_t*, size_t> sampleBytes(CMSampleBufferRef sample) {
    const auto* buffer = static_cast<const opaqueCMSampleBuffer*>(compat::objectOf(sample));
    const auto* data = static_cast<const OpaqueCMBlockBuffer*>(compat::objectOf(buffer->data));
    if (data == nullptr || !buffer->dataReady) {
        return {nullptr, 0};
    }
    return {data->data(), data->length};
}

const opaqueCMFormatDescription* formatOf(CMSampleBufferRef sample) {
    const auto* buffer = static_cast<const opaqueCMSampleBuffer*>(compat::objectOf(sample));
    return compat::cast<const opaqueCMFormatDescription>(buffer->format,
                                                         compat::kFormatDescriptionType);
}

CMSampleTimingInfo timingOf(CMSampleBufferRef sample) {
    const auto* buffer = static_cast<const opaqueCMSampleBuffer*>(compat::objectOf(sample));
    return buffer->timing.empty() ? kCMTimingInfoInvalid : buffer->timing[0];
}

}  // namespace

std::shared_ptr<DecompressionWorker> DecompressionWorker::start(
    std::unique_ptr<VideoDecoder> decoder, VTDecompressionOutputCallbackRecord output) {
    std::shared_ptr<DecompressionWorker> worker(
        new DecompressionWorker(std::move(decoder), output));
    std::lock_guard<std::mutex> lock(worker->mutex_);
    worker->thread_ = std::thread([self = worker] { self->run(); });
    worker->threadId_ = worker->thread_.get_id();
    return worker;
}

DecompressionWorker::DecompressionWorker(std::unique_ptr<VideoDecoder> decoder,
                                         VTDecompressionOutputCallbackRecord output)
    : output_(output), decoder_(std::move(decoder)) {}

DecompressionWorker::~DecompressionWorker() {
    for (const Job& job : jobs_) {
        compat::releaseObject(job.sample);
    }
}

bool DecompressionWorker::submit(CMSampleBufferRef sample, VTDecodeFrameFlags flags,
                                 void* sourceFrameRefCon) {
    compat::retainObject(sample);
    if (!enqueue(Job{sample, flags, sourceFrameRefCon})) {
        compat::releaseObject(sample);
        return false;
    }
    return true;
}

bool DecompressionWorker::submitDrain() {
    return enqueue(Job{});
}

bool DecompressionWorker::enqueue(const Job& job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) {
            return false;
        }
        jobs_.push_back(job);
        ++queuedCount_;
    }
    workReady_.notify_one();
    return true;
}

void DecompressionWorker::waitForQueuedWork() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (std::this_thread::get_id() == threadId_) {
        return;
    }
    const uint64_t target = queuedCount_;
    workDone_.wait(lock, [&] { return doneCount_ >= target; });
}

void DecompressionWorker::finishAndStop() {
    submitDrain();
    stop(false);
}

void DecompressionWorker::discardAndStop() {
    stop(true);
}

void DecompressionWorker::stop(bool discard) {
    std::deque<Job> dropped;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepting_ = false;
        if (discard) {
            dropped.swap(jobs_);
            doneCount_ += dropped.size();
        }
        stopping_ = true;
        thread = std::move(thread_);
    }
    workReady_.notify_all();
    workDone_.notify_all();
    for (const Job& job : dropped) {
        compat::releaseObject(job.sample);
    }
    if (!thread.joinable()) {
        return;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // stopped from an output callback: the thread ends after it returns
    } else {
        thread.join();
    }
}

void DecompressionWorker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workReady_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
        if (jobs_.empty()) {
            return;
        }
        const Job job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        process(job);
        lock.lock();
        ++doneCount_;
        workDone_.notify_all();
    }
}

void DecompressionWorker::process(const Job& job) {
    if (job.sample == nullptr) {
        drain();
        return;
    }
    decodeSample(job);
    compat::releaseObject(job.sample);
}

void DecompressionWorker::decodeSample(const Job& job) {
    const int64_t tag = nextTag_++;
    const CMSampleTimingInfo timing = timingOf(job.sample);
    pending_[tag] = PendingSample{job.flags, job.sourceFrameRefCon, timing.presentationTimeStamp,
                                  timing.duration};
    const auto [bytes, size] = sampleBytes(job.sample);
    const opaqueCMFormatDescription* format = formatOf(job.sample);
    const bool accepted = bytes != nullptr && format != nullptr &&
                          decoder_->decode(*format, bytes, size, tag,
                                           [this](int64_t pictureTag, CVPixelBufferRef picture,
                                                  VideoDecoder::Outcome outcome) {
                                               deliver(pictureTag, picture, outcome);
                                           });
    auto sample = pending_.find(tag);
    if (sample == pending_.end()) {
        return;  // its picture went out
    }
    // Without reordering a sample that gave no picture did not decode; with reordering its
    // picture may still come, and a drain tells.
    if (!accepted || !decoder_->reorders()) {
        fail(sample->second);
        pending_.erase(sample);
    }
    if (pending_.size() > kMaxHeldSamples) {
        fail(pending_.begin()->second);
        pending_.erase(pending_.begin());
    }
}

void DecompressionWorker::drain() {
    decoder_->drain([this](int64_t tag, CVPixelBufferRef picture, VideoDecoder::Outcome outcome) {
        deliver(tag, picture, outcome);
    });
    for (const auto& entry : pending_) {
        fail(entry.second);
    }
    pending_.clear();
}

void DecompressionWorker::deliver(int64_t tag, CVPixelBufferRef picture,
                                  VideoDecoder::Outcome outcome) {
    auto found = pending_.find(tag);
    PendingSample sample = found != pending_.end() ? found->second : PendingSample{};
    if (found != pending_.end()) {
        pending_.erase(found);
    }
    if (outcome == VideoDecoder::Outcome::Damaged) {
        fail(sample);
    } else if (picture == nullptr) {
        emit(sample, kVTAllocationFailedErr, nullptr);
    } else if (sample.flags & kVTDecodeFrame_DoNotOutputFrame) {
        emit(sample, noErr, nullptr);
    } else {
        emit(sample, noErr, picture);
    }
}

void DecompressionWorker::fail(const PendingSample& sample) {
    emit(sample, kVTVideoDecoderBadDataErr, nullptr);
}

void DecompressionWorker::emit(const PendingSample& sample, OSStatus status,
                               CVPixelBufferRef picture) {
    if (output_.decompressionOutputCallback == nullptr) {
        return;
    }
    VTDecodeInfoFlags info = kVTDecodeInfo_Asynchronous;
    if (status == noErr && picture == nullptr) {
        info |= kVTDecodeInfo_FrameDropped;
    }
    output_.decompressionOutputCallback(output_.decompressionOutputRefCon, sample.sourceFrameRefCon,
                                        status, info, picture, sample.presentationTimeStamp,
                                        sample.duration);
}

}  // namespace compat
