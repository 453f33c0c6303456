#include "ConstantString.h"
#include "MediaObjects.h"
#include "PixelBufferPool.h"

#include <cstdlib>
#include <new>

using compat::cast;

namespace compat {

namespace {

// Enough for the pictures a caller may still hold while the next ones are decoded.
constexpr size_t kMaxFreeBlocks = 4;

}  // namespace

void PixelBufferPool::FreeDeleter::operator()(uint8_t* memory) const {
    std::free(memory);
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::create() {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool());
}

PixelBufferPool::Memory PixelBufferPool::take(size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bytes != blockBytes_) {
            free_.clear();
            blockBytes_ = bytes;
        } else if (!free_.empty()) {
            Memory memory = std::move(free_.back());
            free_.pop_back();
            return memory;
        }
    }
    return Memory(static_cast<uint8_t*>(std::aligned_alloc(kRowAlignment, bytes)));
}

void PixelBufferPool::giveBack(uint8_t* memory, size_t bytes) {
    Memory returned(memory);
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes == blockBytes_ && free_.size() < kMaxFreeBlocks) {
        free_.push_back(std::move(returned));
    }
}

CVPixelBufferRef PixelBufferPool::makeBuffer(size_t width, size_t height) {
    const size_t bytesPerRow = alignedBytesPerRow(width, 4);
    const size_t bytes = bytesPerRow * height;
    Memory memory = take(bytes);
    if (!memory) {
        return nullptr;
    }
    std::shared_ptr<PixelBufferPool> self = shared_from_this();
    uint8_t* base = memory.get();
    auto* buffer = new (std::nothrow)
        __CVBuffer(base, width, height, bytesPerRow, kCVPixelFormatType_32BGRA,
                   [self, bytes](uint8_t* used) { self->giveBack(used, bytes); });
    if (buffer != nullptr) {
        memory.release();
    }
    return buffer;
}

}  // namespace compat

namespace {

constexpr size_t kMaxPixelBufferSide = 16384;

const __CFString kPixelFormatTypeKey("PixelFormatType");
const __CFString kWidthKey("Width");
const __CFString kHeightKey("Height");
const __CFString kBytesPerRowAlignmentKey("BytesPerRowAlignment");
const __CFString kOpenGLCompatibilityKey("OpenGLCompatibility");
const __CFString kMetalCompatibilityKey("MetalCompatibility");
const __CFString kIOSurfacePropertiesKey("IOSurfaceProperties");

__CVBuffer* pixelBufferOf(CVPixelBufferRef buffer) {
    return cast<__CVBuffer>(buffer, compat::kPixelBufferType);
}

bool validGeometry(size_t width, size_t height, OSType pixelFormatType) {
    return width > 0 && height > 0 && width <= kMaxPixelBufferSide &&
           height <= kMaxPixelBufferSide && pixelFormatType == kCVPixelFormatType_32BGRA;
}

}  // namespace

extern "C" {

const CFStringRef kCVPixelBufferPixelFormatTypeKey = &kPixelFormatTypeKey;
const CFStringRef kCVPixelBufferWidthKey = &kWidthKey;
const CFStringRef kCVPixelBufferHeightKey = &kHeightKey;
const CFStringRef kCVPixelBufferBytesPerRowAlignmentKey = &kBytesPerRowAlignmentKey;
const CFStringRef kCVPixelBufferOpenGLCompatibilityKey = &kOpenGLCompatibilityKey;
const CFStringRef kCVPixelBufferMetalCompatibilityKey = &kMetalCompatibilityKey;
const CFStringRef kCVPixelBufferIOSurfacePropertiesKey = &kIOSurfacePropertiesKey;

CVReturn CVPixelBufferCreate(CFAllocatorRef, size_t width, size_t height, OSType pixelFormatType,
                             CFDictionaryRef, CVPixelBufferRef* pixelBufferOut) {
    if (pixelBufferOut == nullptr) {
        return kCVReturnInvalidArgument;
    }
    *pixelBufferOut = nullptr;
    if (!validGeometry(width, height, pixelFormatType)) {
        return pixelFormatType == kCVPixelFormatType_32BGRA ? kCVReturnInvalidSize
                                                            : kCVReturnInvalidPixelFormat;
    }
    *pixelBufferOut = compat::PixelBufferPool::create()->makeBuffer(width, height);
    return *pixelBufferOut ? kCVReturnSuccess : kCVReturnAllocationFailed;
}

CVPixelBufferRef CVPixelBufferRetain(CVPixelBufferRef texture) {
    compat::retainObject(texture);
    return texture;
}

void CVPixelBufferRelease(CVPixelBufferRef texture) {
    compat::releaseObject(texture);
}

CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                      CVPixelBufferLockFlags lockFlags) {
    __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    if (buffer == nullptr || (lockFlags & ~CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly))) {
        return kCVReturnInvalidArgument;
    }
    buffer->lockFlags = lockFlags;
    buffer->lockCount.fetch_add(1);
    return kCVReturnSuccess;
}

CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                        CVPixelBufferLockFlags unlockFlags) {
    __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    if (buffer == nullptr || buffer->lockFlags != unlockFlags) {
        return kCVReturnInvalidArgument;
    }
    int locks = buffer->lockCount.load();
    do {
        if (locks == 0) {
            return kCVReturnInvalidArgument;
        }
    } while (!buffer->lockCount.compare_exchange_weak(locks, locks - 1));
    return kCVReturnSuccess;
}

void* CVPixelBufferGetBaseAddress(CVPixelBufferRef pixelBuffer) {
    const __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    return buffer ? buffer->base : nullptr;
}

size_t CVPixelBufferGetBytesPerRow(CVPixelBufferRef pixelBuffer) {
    const __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    return buffer ? buffer->bytesPerRow : 0;
}

size_t CVPixelBufferGetWidth(CVPixelBufferRef pixelBuffer) {
    const __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    return buffer ? buffer->width : 0;
}

size_t CVPixelBufferGetHeight(CVPixelBufferRef pixelBuffer) {
    const __CVBuffer* buffer = pixelBufferOf(pixelBuffer);
    return buffer ? buffer->height : 0;
}

void CVPixelBufferGetExtendedPixels(CVPixelBufferRef, size_t* extraColumnsOnLeft,
                                    size_t* extraColumnsOnRight, size_t* extraRowsOnTop,
                                    size_t* extraRowsOnBottom) {
    for (size_t* extra :
         {extraColumnsOnLeft, extraColumnsOnRight, extraRowsOnTop, extraRowsOnBottom}) {
        if (extra != nullptr) {
            *extra = 0;
        }
    }
}

}  // extern "C"
