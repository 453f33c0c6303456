// The part of CoreVideo that the decode session uses, for systems without Apple's frameworks:
// pixel buffers and their geometry, with the names, types and signatures of Apple's public
// headers.
//
// The decompression session hands out 32-bit BGRA pixel buffers (kCVPixelFormatType_32BGRA, one
// plane, alpha 255). Width and height are the display size; rows are padded to a multiple of 64
// bytes as CoreVideo pads them (a 1080-pixel row takes 4352 bytes), the base address is 64-byte
// aligned and there are no extended pixels. The memory comes from a pool of the session and goes
// back to it when the buffer's last reference is released, also after the session has died.
// Locking is a counter only: the memory is always mapped, but callers must still lock as on
// Apple's systems, where the base address is valid only between lock and unlock.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t CVReturn;
typedef uint64_t CVOptionFlags;
typedef CVOptionFlags CVPixelBufferLockFlags;

enum {
    kCVReturnSuccess = 0,
    kCVReturnFirst = -6660,
    kCVReturnError = kCVReturnFirst,
    kCVReturnInvalidArgument = -6661,
    kCVReturnAllocationFailed = -6662,
    kCVReturnUnsupported = -6663,
    kCVReturnInvalidPixelFormat = -6680,
    kCVReturnInvalidSize = -6681,
    kCVReturnInvalidPixelBufferAttributes = -6682,
    kCVReturnPixelBufferNotOpenGLCompatible = -6683,
    kCVReturnPixelBufferNotMetalCompatible = -6684,
    kCVReturnPoolAllocationFailed = -6690,
    kCVReturnInvalidPoolAttributes = -6691,
    kCVReturnRetry = -6692,
    kCVReturnLast = -6699
};

enum { kCVPixelBufferLock_ReadOnly = 0x00000001 };

enum {
    kCVPixelFormatType_32ARGB = 0x00000020,
    kCVPixelFormatType_32BGRA = 0x42475241 /* 'BGRA' */
};

typedef struct __CVBuffer* CVBufferRef;
typedef CVBufferRef CVImageBufferRef;
typedef CVImageBufferRef CVPixelBufferRef;

// Pixel buffer attribute keys, for destination attribute dictionaries.
extern const CFStringRef kCVPixelBufferPixelFormatTypeKey;
extern const CFStringRef kCVPixelBufferWidthKey;
extern const CFStringRef kCVPixelBufferHeightKey;
extern const CFStringRef kCVPixelBufferBytesPerRowAlignmentKey;
extern const CFStringRef kCVPixelBufferOpenGLCompatibilityKey;
extern const CFStringRef kCVPixelBufferMetalCompatibilityKey;
extern const CFStringRef kCVPixelBufferIOSurfacePropertiesKey;

// Only kCVPixelFormatType_32BGRA; rows padded to a multiple of 64 bytes. Attributes are ignored.
CVReturn CVPixelBufferCreate(CFAllocatorRef allocator, size_t width, size_t height,
                             OSType pixelFormatType, CFDictionaryRef pixelBufferAttributes,
                             CVPixelBufferRef* pixelBufferOut);
CVPixelBufferRef CVPixelBufferRetain(CVPixelBufferRef texture);
void CVPixelBufferRelease(CVPixelBufferRef texture);
CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                      CVPixelBufferLockFlags lockFlags);
// Returns kCVReturnInvalidArgument when the buffer is not locked or the flags differ from the
// lock's.
CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                        CVPixelBufferLockFlags unlockFlags);
void* CVPixelBufferGetBaseAddress(CVPixelBufferRef pixelBuffer);
size_t CVPixelBufferGetBytesPerRow(CVPixelBufferRef pixelBuffer);
size_t CVPixelBufferGetWidth(CVPixelBufferRef pixelBuffer);
size_t CVPixelBufferGetHeight(CVPixelBufferRef pixelBuffer);
void CVPixelBufferGetExtendedPixels(CVPixelBufferRef pixelBuffer, size_t* extraColumnsOnLeft,
                                    size_t* extraColumnsOnRight, size_t* extraRowsOnTop,
                                    size_t* extraRowsOnBottom);

#ifdef __cplusplus
}
#endif
