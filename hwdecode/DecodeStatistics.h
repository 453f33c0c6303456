// The figures of one decoder instance that its host reads: counters since the instance started,
// the times of its latest pictures, and whether it waits for a keyframe. The instance's threads
// write them with atomic operations only, so the host's poll never waits for a decode; a poll
// taken while decoding runs may see two counters one picture apart.
//
// How the counters add up:
//   committed = queued + (the unit being decoded) + decoded + dropped queueFull +
//               dropped waitingForKeyframe + dropped decodeError
//   decoded   = delivered + dropped noTexture + dropped sizeMismatch + (pictures held for display
//               order) + pictures decoded before a loss and discarded (counted as
//               waitingForKeyframe as well)
//   delivered = uploaded + dropped textureBusy + (the newest picture, until an upload)
// A unit without a picture (parameter sets alone) is counted only as committed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

class DecodeStatistics {
  public:
    enum class Drop {
        QueueFull,           // the backlog policy
        WaitingForKeyframe,  // discarded while decoding waited for a random-access point
        DecodeError,         // the platform could not decode it, or it never reached the platform
        NoTexture,           // a picture with no texture bound
        SizeMismatch,        // a picture the bound texture does not match
        TextureBusy,         // a picture replaced by a newer one before a render event uploaded it
    };
    static constexpr size_t kDropReasons = 6;

    // Times of the latest kWindow pictures, in milliseconds.
    struct Times {
        double p50 = 0;
        double p95 = 0;
        double max = 0;
    };
    static constexpr size_t kWindow = 120;

    struct Snapshot {
        bool h265 = false;
        int32_t width = 0;
        int32_t height = 0;
        uint64_t committed = 0;
        uint64_t queued = 0;
        uint64_t decoded = 0;
        uint64_t delivered = 0;
        uint64_t uploaded = 0;
        std::array<uint64_t, kDropReasons> dropped{};
        Times decodeMs;
        Times latencyMs;
        uint64_t sessions = 0;
        int32_t lastStatus = 0;
        bool keyframeNeeded = false;
        uint64_t keyframeRequests = 0;
    };

    using Clock = std::chrono::steady_clock;

    void setH265(bool h265) { h265_ = h265; }
    void unitCommitted() { committed_.fetch_add(1, std::memory_order_relaxed); }
    void setQueued(size_t units) { queued_.store(units, std::memory_order_relaxed); }
    void dropped(Drop reason, uint64_t count = 1) {
        dropped_[size_t(reason)].fetch_add(count, std::memory_order_relaxed);
    }
    void pictureUploaded() { uploaded_.fetch_add(1, std::memory_order_relaxed); }
    void sessionStarted(int32_t width, int32_t height);
    // A platform call failed with `status` (non-zero).
    void platformFailed(int32_t status) { lastStatus_.store(status, std::memory_order_relaxed); }

    // Decoding lost a reference and waits for a random-access point: the first call of a wait
    // is a keyframe request.
    void startWaitingForKeyframe();
    void stopWaitingForKeyframe() { keyframeNeeded_.store(false, std::memory_order_relaxed); }

    // The decode thread starts on the unit committed at `committedAt` with time `pts`; the
    // platform's output finds its commit time by that time when its picture comes out.
    void unitEntersDecode(int64_t pts, Clock::time_point committedAt);
    // A sample goes to the platform now.
    void sampleSubmitted();
    // The platform returned a picture: its decode time runs from the latest submission.
    void pictureDecoded();
    // The picture of time `pts` goes to the instance now (in display order), which may deliver
    // it into the frame buffer.
    void pictureOnItsWay(int64_t pts);
    // The picture on its way was copied into the frame buffer.
    void pictureDelivered();

    Snapshot snapshot() const;

  private:
    // The latest kWindow durations, in microseconds; one writer at a time.
    class TimeWindow {
      public:
        void add(Clock::duration duration);
        Times summarize() const;

      private:
        std::array<std::atomic<uint32_t>, kWindow> micros_{};
        std::atomic<uint64_t> count_{0};
    };

    // Commit times of the units submitted lately, by presentation time: enough for any
    // reordering a stream may state. Only the decode and decode output threads use it.
    struct Submission {
        int64_t pts = 0;
        Clock::time_point committedAt;
    };
    static constexpr size_t kSubmissions = 32;

    std::atomic<bool> h265_{false};
    std::atomic<int32_t> width_{0};
    std::atomic<int32_t> height_{0};
    std::atomic<uint64_t> committed_{0};
    std::atomic<uint64_t> queued_{0};
    std::atomic<uint64_t> decoded_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> uploaded_{0};
    std::array<std::atomic<uint64_t>, kDropReasons> dropped_{};
    std::atomic<uint64_t> sessions_{0};
    std::atomic<int32_t> lastStatus_{0};
    std::atomic<bool> keyframeNeeded_{false};
    std::atomic<uint64_t> keyframeRequests_{0};
    TimeWindow decodeTimes_;
    TimeWindow latencies_;
    std::atomic<int64_t> submittedAt_{0};  // Clock ticks of the latest submission
    std::mutex submissionsMutex_;
    std::array<Submission, kSubmissions> submissions_{};
    size_t nextSubmission_ = 0;
    // Clock ticks of the commit of the picture on its way to the frame buffer; 0 when unknown.
    std::atomic<int64_t> pictureCommittedAt_{0};
};
