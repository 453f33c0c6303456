#include "ConstantString.h"
#include "Object.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace compat {

void Object::retain() const {
    if (!immortal_) {
        count_.fetch_add(1, std::memory_order_relaxed);
    }
}

void Object::release() const {
    if (!immortal_ && count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

CFIndex Object::retainCount() const {
    return immortal_ ? std::numeric_limits<CFIndex>::max() : count_.load(std::memory_order_relaxed);
}

CFHashCode Object::hash() const {
    return reinterpret_cast<uintptr_t>(this);
}

}  // namespace compat

using compat::cast;
using compat::Object;
using compat::objectOf;

// The two booleans are told apart by their address.
struct __CFBoolean : Object {
    constexpr __CFBoolean() : Object(compat::kBooleanType, true) {}
};

struct __CFNumber : Object {
    __CFNumber(CFNumberType numberType, int64_t integerValue, double floatValue)
        : Object(compat::kNumberType, false),
          type(numberType),
          integer(integerValue),
          floating(floatValue) {}

    bool isFloat() const {
        return type == kCFNumberFloat32Type || type == kCFNumberFloat64Type ||
               type == kCFNumberFloatType || type == kCFNumberDoubleType ||
               type == kCFNumberCGFloatType;
    }
    double asDouble() const { return isFloat() ? floating : double(integer); }
    bool equals(const Object& other) const override {
        return other.typeId() == compat::kNumberType &&
               static_cast<const __CFNumber&>(other).asDouble() == asDouble();
    }
    CFHashCode hash() const override { return std::hash<double>()(asDouble()); }

    const CFNumberType type;
    const int64_t integer;
    const double floating;
};

struct __CFArray : Object {
    explicit __CFArray(const CFArrayCallBacks* callBacks)
        : Object(compat::kArrayType, false),
          callbacks(callBacks ? *callBacks : CFArrayCallBacks{}) {}
    ~__CFArray() override { releaseAll(); }

    // Stored first and retained after, so that running out of memory retains nothing.
    void add(const void* value) {
        values.push_back(value);
        if (callbacks.retain) {
            values.back() = callbacks.retain(nullptr, value);
        }
    }
    void releaseValue(const void* value) const {
        if (callbacks.release) {
            callbacks.release(nullptr, value);
        }
    }
    void releaseAll() {
        for (const void* value : values) {
            releaseValue(value);
        }
        values.clear();
    }

    const CFArrayCallBacks callbacks;
    std::vector<const void*> values;
};

struct __CFDictionary : Object {
    __CFDictionary(const CFDictionaryKeyCallBacks* keyCallBacks,
                   const CFDictionaryValueCallBacks* valueCallBacks)
        : Object(compat::kDictionaryType, false),
          keyCallbacks(keyCallBacks ? *keyCallBacks : CFDictionaryKeyCallBacks{}),
          valueCallbacks(valueCallBacks ? *valueCallBacks : CFDictionaryValueCallBacks{}) {}
    ~__CFDictionary() override { removeAll(); }

    bool keysEqual(const void* a, const void* b) const {
        return a == b || (keyCallbacks.equal && keyCallbacks.equal(a, b));
    }
    std::vector<std::pair<const void*, const void*>>::iterator find(const void* key) {
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            if (keysEqual(entry->first, key)) {
                return entry;
            }
        }
        return entries.end();
    }
    const void* retainKey(const void* key) const {
        return keyCallbacks.retain ? keyCallbacks.retain(nullptr, key) : key;
    }
    const void* retainValue(const void* value) const {
        return valueCallbacks.retain ? valueCallbacks.retain(nullptr, value) : value;
    }
    void releaseEntry(const std::pair<const void*, const void*>& entry) const {
        if (keyCallbacks.release) {
            keyCallbacks.release(nullptr, entry.first);
        }
        if (valueCallbacks.release) {
            valueCallbacks.release(nullptr, entry.second);
        }
    }
    void set(const void* key, const void* value) {
        auto entry = find(key);
        if (entry == entries.end()) {
            // Stored first and retained after, so that running out of memory retains nothing.
            entries.emplace_back(key, value);
            entries.back() = {retainKey(key), retainValue(value)};
        } else {
            const void* old = entry->second;
            entry->second = retainValue(value);
            if (valueCallbacks.release) {
                valueCallbacks.release(nullptr, old);
            }
        }
    }
    void removeAll() {
        auto removed = std::move(entries);
        entries.clear();
        for (const auto& entry : removed) {
            releaseEntry(entry);
        }
    }

    const CFDictionaryKeyCallBacks keyCallbacks;
    const CFDictionaryValueCallBacks valueCallbacks;
    std::vector<std::pair<const void*, const void*>> entries;
};

namespace {

const __CFBoolean kTrueObject;
const __CFBoolean kFalseObject;

const void* retainCallback(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}

void releaseCallback(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

Boolean equalCallback(const void* a, const void* b) {
    return CFEqual(a, b);
}

CFHashCode hashCallback(const void* value) {
    return CFHash(value);
}

__CFArray* arrayOf(CFArrayRef array) {
    return cast<__CFArray>(array, compat::kArrayType);
}

__CFDictionary* dictionaryOf(CFDictionaryRef dictionary) {
    return cast<__CFDictionary>(dictionary, compat::kDictionaryType);
}

const __CFNumber* numberOf(CFNumberRef number) {
    return cast<__CFNumber>(number, compat::kNumberType);
}

bool integerType(CFNumberType type, size_t* size, bool* isSigned) {
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            *size = 1;
            break;
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            *size = 2;
            break;
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            *size = 4;
            break;
        case kCFNumberSInt64Type:
        case kCFNumberLongLongType:
            *size = 8;
            break;
        case kCFNumberLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType:
            *size = sizeof(long);
            break;
        default:
            return false;
    }
    *isSigned = true;
    return true;
}

bool floatType(CFNumberType type, size_t* size) {
    switch (type) {
        case kCFNumberFloat32Type:
        case kCFNumberFloatType:
            *size = sizeof(float);
            return true;
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
        case kCFNumberCGFloatType:
            *size = sizeof(double);
            return true;
        default:
            return false;
    }
}

int64_t readInteger(const void* valuePtr, size_t size) {
    switch (size) {
        case 1: {
            int8_t value;
            std::memcpy(&value, valuePtr, 1);
            return value;
        }
        case 2: {
            int16_t value;
            std::memcpy(&value, valuePtr, 2);
            return value;
        }
        case 4: {
            int32_t value;
            std::memcpy(&value, valuePtr, 4);
            return value;
        }
        default: {
            int64_t value;
            std::memcpy(&value, valuePtr, 8);
            return value;
        }
    }
}

bool writeInteger(int64_t value, void* valuePtr, size_t size) {
    const int bits = int(size * 8);
    const int64_t lowest =
        bits == 64 ? std::numeric_limits<int64_t>::min() : -(int64_t(1) << (bits - 1));
    const int64_t highest =
        bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t(1) << (bits - 1)) - 1;
    const int64_t clamped = value < lowest ? lowest : value > highest ? highest : value;
    switch (size) {
        case 1: {
            const int8_t narrow = int8_t(clamped);
            std::memcpy(valuePtr, &narrow, 1);
            break;
        }
        case 2: {
            const int16_t narrow = int16_t(clamped);
            std::memcpy(valuePtr, &narrow, 2);
            break;
        }
        case 4: {
            const int32_t narrow = int32_t(clamped);
            std::memcpy(valuePtr, &narrow, 4);
            break;
        }
        default:
            std::memcpy(valuePtr, &clamped, 8);
    }
    return clamped == value;
}

// Constant strings live as long as the process; one object per distinct text.
CFStringRef internedString(const char* text) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<__CFString>, std::less<>>* strings =
        new std::map<std::string, std::unique_ptr<__CFString>, std::less<>>();
    std::lock_guard<std::mutex> lock(mutex);
    auto found = strings->find(std::string_view(text));
    if (found == strings->end()) {
        found = strings->emplace(text, nullptr).first;
        found->second = std::make_unique<__CFString>(std::string_view(found->first));
    }
    return found->second.get();
}

}  // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = &kTrueObject;
const CFBooleanRef kCFBooleanFalse = &kFalseObject;

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainCallback, releaseCallback, nullptr,
                                                equalCallback};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, retainCallback, releaseCallback, nullptr, equalCallback, hashCallback};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = kCFTypeDictionaryKeyCallBacks;
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, retainCallback, releaseCallback, nullptr, equalCallback};

CFTypeRef CFRetain(CFTypeRef cf) {
    if (Object* object = objectOf(cf)) {
        object->retain();
    }
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (Object* object = objectOf(cf)) {
        object->release();
    }
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    const Object* object = objectOf(cf);
    return object ? object->retainCount() : 0;
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    const Object* object = objectOf(cf);
    return object ? object->typeId() : 0;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2) {
        return true;
    }
    const Object* a = objectOf(cf1);
    const Object* b = objectOf(cf2);
    return a && b && a->equals(*b);
}

CFHashCode CFHash(CFTypeRef cf) {
    const Object* object = objectOf(cf);
    return object ? object->hash() : 0;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    return cStr ? internedString(cStr) : nullptr;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
    if (capacity < 0) {
        return nullptr;
    }
    auto array = std::make_unique<__CFArray>(callBacks);
    array->values.reserve(size_t(capacity));
    return array.release();
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const __CFArray* array = arrayOf(theArray);
    return array ? CFIndex(array->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray* array = arrayOf(theArray);
    if (array == nullptr || idx < 0 || size_t(idx) >= array->values.size()) {
        return nullptr;
    }
    return array->values[size_t(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    if (__CFArray* array = arrayOf(theArray)) {
        array->add(value);
    }
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    if (__CFArray* array = arrayOf(theArray)) {
        array->releaseAll();
    }
}

CFTypeID CFDictionaryGetTypeID(void) {
    return compat::kDictionaryType;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || (numValues > 0 && (keys == nullptr || values == nullptr))) {
        return nullptr;
    }
    auto dictionary = std::make_unique<__CFDictionary>(keyCallBacks, valueCallBacks);
    for (CFIndex i = 0; i < numValues; ++i) {
        dictionary->set(keys[i], values[i]);
    }
    return dictionary.release();
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key,
                                      const void** value) {
    __CFDictionary* dictionary = dictionaryOf(theDict);
    if (dictionary == nullptr) {
        return false;
    }
    auto entry = dictionary->find(key);
    if (entry == dictionary->entries.end()) {
        return false;
    }
    if (value) {
        *value = entry->second;
    }
    return true;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const void* value = nullptr;
    CFDictionaryGetValueIfPresent(theDict, key, &value);
    return value;
}

CFTypeID CFNumberGetTypeID(void) {
    return compat::kNumberType;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    size_t size = 0;
    bool isSigned = false;
    if (valuePtr == nullptr) {
        return nullptr;
    }
    if (integerType(theType, &size, &isSigned)) {
        const int64_t value = readInteger(valuePtr, size);
        return new __CFNumber(theType, value, double(value));
    }
    if (floatType(theType, &size)) {
        double value = 0;
        if (size == sizeof(float)) {
            float narrow;
            std::memcpy(&narrow, valuePtr, sizeof narrow);
            value = narrow;
        } else {
            std::memcpy(&value, valuePtr, sizeof value);
        }
        return new __CFNumber(theType, int64_t(0), value);
    }
    return nullptr;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber* object = numberOf(number);
    size_t size = 0;
    bool isSigned = false;
    if (object == nullptr || valuePtr == nullptr) {
        return false;
    }
    if (integerType(theType, &size, &isSigned)) {
        if (!object->isFloat()) {
            return writeInteger(object->integer, valuePtr, size);
        }
        const double truncated = std::trunc(object->floating);
        const bool inRange = std::isfinite(truncated) && std::fabs(truncated) < 9.2e18;
        const bool fits = writeInteger(inRange ? int64_t(truncated) : 0, valuePtr, size);
        return fits && inRange && truncated == object->floating;
    }
    if (floatType(theType, &size)) {
        const double value = object->asDouble();
        if (size == sizeof(float)) {
            const float narrow = float(value);
            std::memcpy(valuePtr, &narrow, sizeof narrow);
            return double(narrow) == value;
        }
        std::memcpy(valuePtr, &value, sizeof value);
        return object->isFloat() || int64_t(value) == object->integer;
    }
    return false;
}

CFTypeID CFBooleanGetTypeID(void) {
    return compat::kBooleanType;
}

}  // extern "C"
