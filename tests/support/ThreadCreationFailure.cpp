#include "ThreadCreationFailure.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace testsupport {

namespace {

// Creations left before the next one fails; negative: none fails.
std::atomic<long> s_creationsBeforeFailure{-1};
std::atomic<bool> s_creationFailed{false};

bool refuseThisCreation() {
    long left = s_creationsBeforeFailure.load();
    while (left >= 0) {
        if (s_creationsBeforeFailure.compare_exchange_weak(left, left - 1)) {
            if (left == 0) {
                s_creationFailed.store(true);
                return true;
            }
            return false;
        }
    }
    return false;
}

}  // namespace

void failThreadCreation(long n) {
    s_creationFailed.store(false);
    s_creationsBeforeFailure.store(n);
}

void allowThreadCreation() {
    s_creationsBeforeFailure.store(-1);
}

bool threadCreationFailed() {
    return s_creationFailed.load();
}

}  // namespace testsupport

// Stands in front of the C library's pthread_create, or a sanitizer's, which comes next in the
// lookup order and is found with RTLD_NEXT. Visible, so that the libraries' calls (std::thread's
// among them) bind to it.
extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<CreateThread>(dlsym(RTLD_NEXT, "pthread_create"));
    if (testsupport::refuseThisCreation()) {
        return EAGAIN;
    }
    return next(thread, attributes, start, argument);
}
