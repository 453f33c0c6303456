// Aborts the process when a thread stops making progress, so that a deadlock ends the run with
// where every thread stood instead of hanging until the test runner's timeout.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace reliability {

// One watched thread: enter() before each call that might block, leave() after it, and each
// leave() counts as progress. A lane that has finished its work is no longer expected to progress.
class WatchedLane {
  public:
    explicit WatchedLane(std::string name) : name_(std::move(name)) {}
    void enter(const char* activity, int decoderId) {
        decoderId_ = decoderId;
        activity_ = activity;
    }
    void leave() {
        activity_ = "between calls";
        ++progress_;
    }
    void finish() { finished_ = true; }

  private:
    friend class Watchdog;
    const std::string name_;
    std::atomic<unsigned long long> progress_{0};
    std::atomic<const char*> activity_{"not started"};
    std::atomic<int> decoderId_{-1};
    std::atomic<bool> finished_{false};
};

// Lanes are added before start(); their addresses stay valid for the watchdog's life.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds stallLimit) : stallLimit_(stallLimit) {}
    ~Watchdog() {
        stop_.set_value();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    WatchedLane& addLane(const std::string& name) { return lanes_.emplace_back(name); }
    void start() {
        thread_ = std::thread([this] { watch(); });
    }

  private:
    void watch() {
        using Clock = std::chrono::steady_clock;
        std::vector<unsigned long long> lastProgress(lanes_.size(), 0);
        std::vector<Clock::time_point> lastMove(lanes_.size(), Clock::now());
        while (stopped_.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout) {
            for (size_t i = 0; i < lanes_.size(); ++i) {
                if (lanes_[i].progress_ != lastProgress[i] || lanes_[i].finished_) {
                    lastProgress[i] = lanes_[i].progress_;
                    lastMove[i] = Clock::now();
                } else if (Clock::now() - lastMove[i] > stallLimit_) {
                    std::fprintf(stderr,
                                 "watchdog: %s made no progress for %lld s; every thread:\n",
                                 lanes_[i].name_.c_str(), (long long)stallLimit_.count());
                    for (const WatchedLane& lane : lanes_) {
                        std::fprintf(stderr, "  %s: %s (decoder id %d), %llu calls done%s\n",
                                     lane.name_.c_str(), lane.activity_.load(),
                                     lane.decoderId_.load(), lane.progress_.load(),
                                     lane.finished_ ? ", finished" : "");
                    }
                    std::abort();
                }
            }
        }
    }

    const std::chrono::seconds stallLimit_;
    std::deque<WatchedLane> lanes_;
    std::promise<void> stop_;
    std::future<void> stopped_ = stop_.get_future();
    std::thread thread_;
};

}  // namespace reliability
