#include "ConversionPool.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace compat {

struct ConversionPool::Batch {
    Batch(const std::function<void(int)>& work, int tasks) : task(&work), count(tasks) {}

    const std::function<void(int)>* const task;  // valid until the last task has returned
    const int count;
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    int done = 0;
};

namespace {

// The pool of the moment, if a session holds one. Made when the library is loaded, not on first
// use (which is on some decode thread), so that it is destroyed after everything the library
// tears down at unload or exit, running decoders included.
std::mutex s_currentPoolMutex;
std::weak_ptr<ConversionPool> s_currentPool;

}  // namespace

std::shared_ptr<ConversionPool> ConversionPool::acquire() {
    std::lock_guard<std::mutex> lock(s_currentPoolMutex);
    std::shared_ptr<ConversionPool> pool = s_currentPool.lock();
    if (!pool) {
        const int hardware = int(std::thread::hardware_concurrency());
        pool.reset(new ConversionPool(std::clamp(hardware - 1, 0, kMaxHelpers)));
        s_currentPool = pool;
    }
    return pool;
}

ConversionPool::ConversionPool(int helpers) {
    try {
        threads_.reserve(size_t(helpers));
        for (int i = 0; i < helpers; ++i) {
            threads_.emplace_back([this] { help(); });
        }
    } catch (...) {
        // A process that is out of threads or memory gets a smaller pool: the callers convert
        // whatever no helper takes, so fewer helpers only make conversion slower.
    }
    helpers_ = int(threads_.size());
}

// Every caller of run() holds the pool, so no batch is left when the last holder lets go.
ConversionPool::~ConversionPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

bool ConversionPool::runNext(Batch& batch) {
    const int index = batch.next.fetch_add(1);
    if (index >= batch.count) {
        return false;
    }
    (*batch.task)(index);
    std::lock_guard<std::mutex> lock(batch.mutex);
    if (++batch.done == batch.count) {
        batch.finished.notify_all();
    }
    return true;
}

void ConversionPool::run(int count, const std::function<void(int)>& task) {
    auto batch = std::make_shared<Batch>(task, count);
    if (helpers_ > 0 && count > 1) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            batches_.push_back(batch);
        }
        work_.notify_all();
    }
    while (runNext(*batch)) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batches_.erase(std::remove(batches_.begin(), batches_.end(), batch), batches_.end());
    }
    std::unique_lock<std::mutex> lock(batch->mutex);
    batch->finished.wait(lock, [&] { return batch->done == batch->count; });
}

void ConversionPool::help() {
    for (;;) {
        std::shared_ptr<Batch> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return stopping_ || !batches_.empty(); });
            if (stopping_) {
                return;
            }
            batch = batches_.front();
        }
        if (!runNext(*batch)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!batches_.empty() && batches_.front() == batch) {
                batches_.pop_front();
            }
        }
    }
}

}  // namespace compat
