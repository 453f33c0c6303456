// The part of CoreMedia that the decode session uses, for systems without Apple's frameworks: time
// values, block buffers, sample buffers and video format descriptions made from H.264 and HEVC
// parameter sets. Names, types, signatures and error codes are those of Apple's public headers.
//
// Format descriptions parse the sequence parameter set themselves (emulation prevention removed,
// trailing zero bytes after the RBSP tolerated) to validate it and to report the display size with
// frame cropping / the conformance window applied. Every object is a CoreFoundation object:
// CFRetain and CFRelease work on it, and the creator owns one reference.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef CFIndex CMItemCount;
typedef FourCharCode CMVideoCodecType;
typedef FourCharCode CMMediaType;

// Time.
typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
typedef uint32_t CMTimeFlags;
enum {
    kCMTimeFlags_Valid = 1UL << 0,
    kCMTimeFlags_HasBeenRounded = 1UL << 1,
    kCMTimeFlags_PositiveInfinity = 1UL << 2,
    kCMTimeFlags_NegativeInfinity = 1UL << 3,
    kCMTimeFlags_Indefinite = 1UL << 4,
    kCMTimeFlags_ImpliedValueFlagsMask =
        kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity | kCMTimeFlags_Indefinite
};

// Packed to 4 bytes as Apple's CMTime is, so the structure has the same size and layout.
#pragma pack(push, 4)
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)

typedef struct {
    CMTime duration;
    CMTime presentationTimeStamp;
    CMTime decodeTimeStamp;
} CMSampleTimingInfo;

extern const CMTime kCMTimeInvalid;
extern const CMTime kCMTimeZero;
extern const CMSampleTimingInfo kCMTimingInfoInvalid;

CMTime CMTimeMake(int64_t value, int32_t timescale);

// Block buffers.
typedef struct OpaqueCMBlockBuffer* CMBlockBufferRef;
typedef uint32_t CMBlockBufferFlags;
enum {
    kCMBlockBufferAssureMemoryNowFlag = (1L << 0),
    kCMBlockBufferAlwaysCopyDataFlag = (1L << 1),
    kCMBlockBufferDontOptimizeDepthFlag = (1L << 2),
    kCMBlockBufferPermitEmptyReferenceFlag = (1L << 3)
};
enum {
    kCMBlockBufferNoErr = 0,
    kCMBlockBufferStructureAllocationFailedErr = -12700,
    kCMBlockBufferBlockAllocationFailedErr = -12701,
    kCMBlockBufferBadCustomBlockSourceErr = -12702,
    kCMBlockBufferBadOffsetParameterErr = -12703,
    kCMBlockBufferBadLengthParameterErr = -12704,
    kCMBlockBufferBadPointerParameterErr = -12705,
    kCMBlockBufferEmptyBBufErr = -12706,
    kCMBlockBufferUnallocatedBlockErr = -12707,
    kCMBlockBufferInsufficientSpaceErr = -12708
};

#pragma pack(push, 4)
typedef struct {
    uint32_t version;
    void* (*AllocateBlock)(void* refCon, size_t sizeInBytes);
    void (*FreeBlock)(void* refCon, void* doomedMemoryBlock, size_t sizeInBytes);
    void* refCon;
} CMBlockBufferCustomBlockSource;
#pragma pack(pop)

// memoryBlock NULL: the buffer allocates blockLength bytes of its own. Otherwise the buffer takes
// the block and, when it dies, frees it with free() (blockAllocator kCFAllocatorDefault) or with
// customBlockSource's FreeBlock. Only one contiguous block per buffer.
OSStatus CMBlockBufferCreateWithMemoryBlock(CFAllocatorRef structureAllocator, void* memoryBlock,
                                            size_t blockLength, CFAllocatorRef blockAllocator,
                                            const CMBlockBufferCustomBlockSource* customBlockSource,
                                            size_t offsetToData, size_t dataLength,
                                            CMBlockBufferFlags flags,
                                            CMBlockBufferRef* blockBufferOut);
OSStatus CMBlockBufferGetDataPointer(CMBlockBufferRef theBuffer, size_t offset,
                                     size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                                     char** dataPointerOut);
size_t CMBlockBufferGetDataLength(CMBlockBufferRef theBuffer);
OSStatus CMBlockBufferReplaceDataBytes(const void* sourceBytes, CMBlockBufferRef destinationBuffer,
                                       size_t offsetIntoDestination, size_t dataLength);
OSStatus CMBlockBufferCopyDataBytes(CMBlockBufferRef theSourceBuffer, size_t offsetToData,
                                    size_t dataLength, void* destination);

// Format descriptions.
typedef const struct opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMVideoFormatDescriptionRef;

enum { kCMMediaType_Video = 0x76696465 /* 'vide' */ };
enum {
    kCMVideoCodecType_H264 = 0x61766331, /* 'avc1' */
    kCMVideoCodecType_HEVC = 0x68766331  /* 'hvc1' */
};
enum {
    kCMFormatDescriptionError_InvalidParameter = -12710,
    kCMFormatDescriptionError_AllocationFailed = -12711,
    kCMFormatDescriptionError_ValueNotAvailable = -12718
};

typedef struct {
    int32_t width;
    int32_t height;
} CMVideoDimensions;

// parameterSetCount 2 (SPS, PPS) for H.264, 3 (VPS, SPS, PPS) for HEVC, in that order; each a
// NAL unit with its header and without a start code. NALUnitHeaderLength 1, 2 or 4: the width of
// the big-endian length in front of every NAL unit of the samples. extensions is ignored.
OSStatus CMVideoFormatDescriptionCreateFromH264ParameterSets(
    CFAllocatorRef allocator, size_t parameterSetCount, const uint8_t* const* parameterSetPointers,
    const size_t* parameterSetSizes, int NALUnitHeaderLength,
    CMFormatDescriptionRef* formatDescriptionOut);
OSStatus CMVideoFormatDescriptionCreateFromHEVCParameterSets(
    CFAllocatorRef allocator, size_t parameterSetCount, const uint8_t* const* parameterSetPointers,
    const size_t* parameterSetSizes, int NALUnitHeaderLength, CFDictionaryRef extensions,
    CMFormatDescriptionRef* formatDescriptionOut);
OSStatus CMVideoFormatDescriptionGetH264ParameterSetAtIndex(CMFormatDescriptionRef videoDesc,
                                                            size_t parameterSetIndex,
                                                            const uint8_t** parameterSetPointerOut,
                                                            size_t* parameterSetSizeOut,
                                                            size_t* parameterSetCountOut,
                                                            int* NALUnitHeaderLengthOut);
OSStatus CMVideoFormatDescriptionGetHEVCParameterSetAtIndex(CMFormatDescriptionRef videoDesc,
                                                            size_t parameterSetIndex,
                                                            const uint8_t** parameterSetPointerOut,
                                                            size_t* parameterSetSizeOut,
                                                            size_t* parameterSetCountOut,
                                                            int* NALUnitHeaderLengthOut);
// The display size (cropping applied); {0, 0} for NULL.
CMVideoDimensions CMVideoFormatDescriptionGetDimensions(CMVideoFormatDescriptionRef videoDesc);
FourCharCode CMFormatDescriptionGetMediaSubType(CMFormatDescriptionRef desc);

// Sample buffers: only buffers of compressed samples with one contiguous data buffer.
typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
typedef OSStatus (*CMSampleBufferMakeDataReadyCallback)(CMSampleBufferRef sbuf,
                                                        void* makeDataReadyRefcon);
enum {
    kCMSampleBufferError_AllocationFailed = -12730,
    kCMSampleBufferError_RequiredParameterMissing = -12731,
    kCMSampleBufferError_AlreadyHasDataBuffer = -12732,
    kCMSampleBufferError_BufferNotReady = -12733,
    kCMSampleBufferError_SampleIndexOutOfRange = -12734,
    kCMSampleBufferError_BufferHasNoSampleSizes = -12735,
    kCMSampleBufferError_BufferHasNoSampleTimingInfo = -12736,
    kCMSampleBufferError_ArrayTooSmall = -12737,
    kCMSampleBufferError_InvalidEntryCount = -12738,
    kCMSampleBufferError_CannotSubdivide = -12739,
    kCMSampleBufferError_SampleTimingInfoInvalid = -12740,
    kCMSampleBufferError_InvalidMediaTypeForOperation = -12741,
    kCMSampleBufferError_InvalidSampleData = -12742,
    kCMSampleBufferError_InvalidMediaFormat = -12743,
    kCMSampleBufferError_Invalidated = -12744
};

// The sample buffer retains dataBuffer and formatDescription (which may be NULL) until it dies.
// numSampleTimingEntries and numSampleSizeEntries must be 0, 1 or numSamples.
OSStatus CMSampleBufferCreate(CFAllocatorRef allocator, CMBlockBufferRef dataBuffer,
                              Boolean dataReady,
                              CMSampleBufferMakeDataReadyCallback makeDataReadyCallback,
                              void* makeDataReadyRefcon, CMFormatDescriptionRef formatDescription,
                              CMItemCount numSamples, CMItemCount numSampleTimingEntries,
                              const CMSampleTimingInfo* sampleTimingArray,
                              CMItemCount numSampleSizeEntries, const size_t* sampleSizeArray,
                              CMSampleBufferRef* sampleBufferOut);
CMBlockBufferRef CMSampleBufferGetDataBuffer(CMSampleBufferRef sbuf);
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf);
CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sbuf);
CMTime CMSampleBufferGetDuration(CMSampleBufferRef sbuf);
size_t CMSampleBufferGetTotalSampleSize(CMSampleBufferRef sbuf);

#ifdef __cplusplus
}
#endif
