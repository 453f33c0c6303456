// The common base of every object the layer hands out through a CoreFoundation reference:
// an atomic reference count, a type for checked casts, and the equality and hash that
// dictionaries use for their keys.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>

namespace compat {

enum TypeId : CFTypeID {
    kStringType = 7,
    kArrayType,
    kDictionaryType,
    kNumberType,
    kBooleanType,
    kBlockBufferType,
    kFormatDescriptionType,
    kSampleBufferType,
    kPixelBufferType,
    kDecompressionSessionType,
};

class Object {
  public:
    // Immortal objects (constant strings, the booleans) ignore retain and release, so they may be
    // statically initialised and shared by every thread without a count.
    constexpr Object(TypeId type, bool immortal) : type_(type), immortal_(immortal) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void retain() const;
    void release() const;
    CFIndex retainCount() const;
    CFTypeID typeId() const { return type_; }

    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const;

  private:
    mutable std::atomic<long> count_{1};
    const TypeId type_;
    const bool immortal_;
};

// The object behind a reference, or null when the reference is null.
inline Object* objectOf(CFTypeRef ref) {
    return static_cast<Object*>(const_cast<void*>(ref));
}

// The object behind a reference as T, or null when it is null or of another type.
template <class T>
T* cast(CFTypeRef ref, TypeId type) {
    Object* object = objectOf(ref);
    if (object == nullptr || object->typeId() != type) {
        return nullptr;
    }
    return static_cast<T*>(object);
}

// Retain and release for the layer's own references. They bypass the exported CFRetain and
// CFRelease, so a caller that wraps those with the linker's --wrap sees only its own calls.
inline void retainObject(CFTypeRef ref) {
    if (const Object* object = objectOf(ref)) {
        object->retain();
    }
}

inline void releaseObject(CFTypeRef ref) {
    if (const Object* object = objectOf(ref)) {
        object->release();
    }
}

}  // namespace compat
