// A few process-wide threads that help decompression sessions convert large pictures band by
// band. The caller always takes part and claims whatever bands no helper has taken, so a busy
// pool never makes a session wait for another session's work.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace compat {

class ConversionPool {
  public:
    // The one pool of the process: hardware threads less one, at most kMaxHelpers. It lives
    // while some decompression session holds it, so its threads end with the last session and
    // none outlives the library.
    static std::shared_ptr<ConversionPool> acquire();

    ~ConversionPool();
    ConversionPool(const ConversionPool&) = delete;
    ConversionPool& operator=(const ConversionPool&) = delete;

    static constexpr int kMaxHelpers = 7;

    // How many threads may help a caller: fewer than asked for where the process could not
    // start them all.
    int helpers() const { return helpers_; }

    // Runs task(0) ... task(count - 1), on the calling thread and on idle helpers, and returns
    // once all have returned.
    void run(int count, const std::function<void(int)>& task);

  private:
    struct Batch;

    explicit ConversionPool(int helpers);
    void help();
    static bool runNext(Batch& batch);

    int helpers_ = 0;  // set once, before the pool is shared
    std::mutex mutex_;
    std::condition_variable work_;
    std::deque<std::shared_ptr<Batch>> batches_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace compat
