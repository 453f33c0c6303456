#include "DecodeStatistics.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

using Clock = DecodeStatistics::Clock;

int64_t ticksOf(Clock::time_point time) {
    return time.time_since_epoch().count();
}

Clock::time_point timeOf(int64_t ticks) {
    return Clock::time_point(Clock::duration(ticks));
}

uint32_t clampedMicros(Clock::duration duration) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return uint32_t(std::clamp<int64_t>(micros, 0, std::numeric_limits<uint32_t>::max()));
}

// The value at `fraction` of the sorted values, by the nearest-rank method.
double percentile(const std::vector<uint32_t>& sorted, double fraction) {
    const size_t rank = size_t(fraction * double(sorted.size()) + 0.999999);
    return double(sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1]) / 1000.0;
}

}  // namespace

void DecodeStatistics::TimeWindow::add(Clock::duration duration) {
    const uint64_t slot = count_.fetch_add(1, std::memory_order_relaxed) % kWindow;
    micros_[slot].store(clampedMicros(duration), std::memory_order_relaxed);
}

DecodeStatistics::Times DecodeStatistics::TimeWindow::summarize() const {
    const size_t filled =
        size_t(std::min<uint64_t>(count_.load(std::memory_order_relaxed), kWindow));
    if (filled == 0) {
        return {};
    }
    std::vector<uint32_t> values(filled);
    for (size_t i = 0; i < filled; ++i) {
        values[i] = micros_[i].load(std::memory_order_relaxed);
    }
    std::sort(values.begin(), values.end());
    return {percentile(values, 0.50), percentile(values, 0.95), double(values.back()) / 1000.0};
}

void DecodeStatistics::sessionStarted(int32_t width, int32_t height) {
    width_.store(width, std::memory_order_relaxed);
    height_.store(height, std::memory_order_relaxed);
    sessions_.fetch_add(1, std::memory_order_relaxed);
}

void DecodeStatistics::startWaitingForKeyframe() {
    if (!keyframeNeeded_.exchange(true, std::memory_order_relaxed)) {
        keyframeRequests_.fetch_add(1, std::memory_order_relaxed);
    }
}

void DecodeStatistics::unitEntersDecode(int64_t pts, Clock::time_point committedAt) {
    std::lock_guard<std::mutex> lock(submissionsMutex_);
    submissions_[nextSubmission_] = {pts, committedAt};
    nextSubmission_ = (nextSubmission_ + 1) % kSubmissions;
}

void DecodeStatistics::sampleSubmitted() {
    submittedAt_.store(ticksOf(Clock::now()), std::memory_order_relaxed);
}

void DecodeStatistics::pictureDecoded() {
    decoded_.fetch_add(1, std::memory_order_relaxed);
    decodeTimes_.add(Clock::now() - timeOf(submittedAt_.load(std::memory_order_relaxed)));
}

void DecodeStatistics::pictureOnItsWay(int64_t pts) {
    int64_t committedAt = 0;
    {
        // Newest first: a stream whose times repeat (or are all 0) finds its latest unit.
        std::lock_guard<std::mutex> lock(submissionsMutex_);
        for (size_t age = 1; age <= kSubmissions; ++age) {
            const Submission& submission =
                submissions_[(nextSubmission_ + kSubmissions - age) % kSubmissions];
            if (submission.pts == pts && submission.committedAt != Clock::time_point()) {
                committedAt = ticksOf(submission.committedAt);
                break;
            }
        }
    }
    pictureCommittedAt_.store(committedAt, std::memory_order_relaxed);
}

void DecodeStatistics::pictureDelivered() {
    delivered_.fetch_add(1, std::memory_order_relaxed);
    const int64_t committedAt = pictureCommittedAt_.load(std::memory_order_relaxed);
    if (committedAt != 0) {
        latencies_.add(Clock::now() - timeOf(committedAt));
    }
}

DecodeStatistics::Snapshot DecodeStatistics::snapshot() const {
    Snapshot figures;
    figures.h265 = h265_.load(std::memory_order_relaxed);
    figures.width = width_.load(std::memory_order_relaxed);
    figures.height = height_.load(std::memory_order_relaxed);
    figures.committed = committed_.load(std::memory_order_relaxed);
    figures.queued = queued_.load(std::memory_order_relaxed);
    figures.decoded = decoded_.load(std::memory_order_relaxed);
    figures.delivered = delivered_.load(std::memory_order_relaxed);
    figures.uploaded = uploaded_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < kDropReasons; ++i) {
        figures.dropped[i] = dropped_[i].load(std::memory_order_relaxed);
    }
    figures.decodeMs = decodeTimes_.summarize();
    figures.latencyMs = latencies_.summarize();
    figures.sessions = sessions_.load(std::memory_order_relaxed);
    figures.lastStatus = lastStatus_.load(std::memory_order_relaxed);
    figures.keyframeNeeded = keyframeNeeded_.load(std::memory_order_relaxed);
    figures.keyframeRequests = keyframeRequests_.load(std::memory_order_relaxed);
    return figures;
}
