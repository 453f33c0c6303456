// Aborts the process when a thread stops making progress, so that a deadlock ends the run with
// a description of where every thread stood instead of hanging until the test runner's timeout.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace reliability {

// One watched thread. It calls enter() before each call that might block and leave() after it;
// each leave() counts as progress.
class WatchedLane {
  public:
    explicit WatchedLane(std::string name) : name_(std::move(name)) {}

    void enter(const char* activity, int decoderId) {
        decoderId_.store(decoderId, std::memory_order_relaxed);
        activity_.store(activity, std::memory_order_release);
    }
    void leave() {
        activity_.store("between calls", std::memory_order_release);
        progress_.fetch_add(1, std::memory_order_release);
    }
    // A lane that has finished its work is no longer expected to progress.
    void finish() { finished_.store(true, std::memory_order_release); }

    const std::string& name() const { return name_; }
    uint64_t progress() const { return progress_.load(std::memory_order_acquire); }
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    std::string describe() const;

  private:
    std::string name_;
    std::atomic<uint64_t> progress_{0};
    std::atomic<const char*> activity_{"not started"};
    std::atomic<int> decoderId_{-1};
    std::atomic<bool> finished_{false};
};

class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds stallLimit) : stallLimit_(stallLimit) {}
    ~Watchdog() { stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Lanes are added before start(); their addresses stay valid for the watchdog's life.
    WatchedLane& addLane(const std::string& name);
    void start();
    void stop();

  private:
    void watch();
    [[noreturn]] void reportStallAndAbort(const WatchedLane& stalled);

    std::chrono::seconds stallLimit_;
    std::deque<WatchedLane> lanes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace reliability
