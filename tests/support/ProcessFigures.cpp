#include "ProcessFigures.h"

#include <dlfcn.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    throw std::runtime_error("no Threads: line in /proc/self/status");
}

int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t sizePages = 0;
    int64_t residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        throw std::runtime_error("cannot read /proc/self/statm");
    }
    return residentPages * sysconf(_SC_PAGESIZE);
}

}  // namespace

ProcessFigures currentProcessFigures() {
    return ProcessFigures{threadCount(), residentBytes()};
}

int threadCountOnceJoinedThreadsAreGone(int expected) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    int count = threadCount();
    while (count != expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = threadCount();
    }
    return count;
}

int steadyThreadCount() {
    int count = threadCount();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int again = threadCount();
        if (again == count) {
            return count;
        }
        count = again;
    }
}

void useOneAllocatorArena() {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
#endif
}

void returnFreeAllocatorPages() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

bool sanitizerOwnsMemory() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

bool isMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0) {
            return true;
        }
    }
    return false;
}

void keepObjectiveCRuntimeLoaded() {
    // Where the runtime is not a library of its own there is nothing to keep.
    dlopen("libobjc.so.4", RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
}

}  // namespace testsupport
