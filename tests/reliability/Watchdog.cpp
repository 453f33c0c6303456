#include "Watchdog.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace reliability {

std::string WatchedLane::describe() const {
    std::string text = name_ + ": " + activity_.load(std::memory_order_acquire);
    const int decoderId = decoderId_.load(std::memory_order_relaxed);
    if (decoderId >= 0) {
        text += " (decoder id " + std::to_string(decoderId) + ")";
    }
    text += ", " + std::to_string(progress()) + " calls done";
    if (finished()) {
        text += ", finished";
    }
    return text;
}

WatchedLane& Watchdog::addLane(const std::string& name) {
    return lanes_.emplace_back(name);
}

void Watchdog::start() {
    thread_ = std::thread(&Watchdog::watch, this);
}

void Watchdog::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Watchdog::watch() {
    using Clock = std::chrono::steady_clock;
    std::vector<uint64_t> lastProgress(lanes_.size(), 0);
    std::vector<Clock::time_point> lastMove(lanes_.size(), Clock::now());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopping_; })) {
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < lanes_.size(); ++i) {
            const uint64_t progress = lanes_[i].progress();
            if (progress != lastProgress[i] || lanes_[i].finished()) {
                lastProgress[i] = progress;
                lastMove[i] = now;
            } else if (now - lastMove[i] > stallLimit_) {
                reportStallAndAbort(lanes_[i]);
            }
        }
    }
}

void Watchdog::reportStallAndAbort(const WatchedLane& stalled) {
    std::fprintf(stderr, "watchdog: %s made no progress for %lld s; every thread:\n",
                 stalled.name().c_str(), static_cast<long long>(stallLimit_.count()));
    for (const WatchedLane& lane : lanes_) {
        std::fprintf(stderr, "  %s\n", lane.describe().c_str());
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace reliability
