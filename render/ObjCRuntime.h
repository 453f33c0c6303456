// Message sends through the Objective-C runtime's C API, for C++ code that talks to Objective-C
// objects without an Objective-C compiler. Apple's runtime dispatches through objc_msgSend, the
// GNU runtime through objc_msg_lookup; either way the implementation must be called through a
// function pointer of the method's exact type, so every send names its result and argument
// types explicitly and no argument is ever promoted or converted on the way.
#pragma once

#include <objc/message.h>
#include <objc/runtime.h>

#include <cstddef>

// Apple's runtime exports the autorelease pool's entry points (what @autoreleasepool compiles to)
// but declares them in no public header. GNU libobjc has no autorelease pools: there these weak
// references stay null and objc::AutoreleasePool does nothing, unless the program defines the two
// functions itself, as the tests' fake Metal world does.
extern "C" {
__attribute__((weak)) void* objc_autoreleasePoolPush(void);
__attribute__((weak)) void objc_autoreleasePoolPop(void* pool);
}

namespace objc {

// The platform's NSUInteger and NSRange, which Foundation would declare.
using UInteger = unsigned long;
struct Range {
    UInteger location;
    UInteger length;
};

template <typename T>
struct Exactly {
    using type = T;
};

// Only argument structs are supported: no message sent here returns a struct, so Apple's
// objc_msgSend_stret is never needed.
template <typename Result, typename... Args>
Result send(id receiver, SEL selector, typename Exactly<Args>::type... args) {
    using Method = Result (*)(id, SEL, Args...);
    // Through the generic function pointer type, which any function pointer may be cast to.
    using AnyFunction = void (*)();
#if defined(__APPLE__)
    auto untyped = reinterpret_cast<AnyFunction>(objc_msgSend);
#else
    auto untyped = reinterpret_cast<AnyFunction>(objc_msg_lookup(receiver, selector));
#endif
    return reinterpret_cast<Method>(untyped)(receiver, selector, args...);
}

template <typename Result, typename... Args>
Result send(id receiver, const char* selectorName, typename Exactly<Args>::type... args) {
    return send<Result, Args...>(receiver, sel_registerName(selectorName), args...);
}

inline id classNamed(const char* name) {
    return reinterpret_cast<id>(objc_getClass(name));
}

inline void release(id object) {
    if (object != nil) {
        send<void>(object, "release");
    }
}

// Objects autoreleased while it lives are released when it ends. The host's threads that call the
// plugin need not drain a pool between those calls, so each call that messages objects makes its
// own; otherwise autoreleased objects could pile up until the thread ends.
class AutoreleasePool {
  public:
    AutoreleasePool()
        : pool_(objc_autoreleasePoolPush != nullptr ? objc_autoreleasePoolPush() : nullptr) {}
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;
    ~AutoreleasePool() {
        if (pool_ != nullptr) {
            objc_autoreleasePoolPop(pool_);
        }
    }

  private:
    void* pool_;
};

// An owning (+1) reference: released when replaced or destroyed.
class StrongRef {
  public:
    StrongRef() = default;
    explicit StrongRef(id owned) : object_(owned) {}
    StrongRef(const StrongRef&) = delete;
    StrongRef& operator=(const StrongRef&) = delete;
    StrongRef(StrongRef&& other) noexcept : object_(other.object_) { other.object_ = nil; }
    StrongRef& operator=(StrongRef&& other) noexcept {
        if (this != &other) {
            reset(other.object_);
            other.object_ = nil;
        }
        return *this;
    }
    ~StrongRef() { release(object_); }

    void reset(id owned = nil) {
        id previous = object_;
        object_ = owned;
        release(previous);
    }
    id get() const { return object_; }

  private:
    id object_ = nil;
};

}  // namespace objc
